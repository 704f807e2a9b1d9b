// Writes the small set of synthetic recordings bundled in examples/.
#include <cstdio>
#include <string>
#include <sys/stat.h>

#include "fixture.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_examples DIR\n");
        return 2;
    }
    std::string dir = argv[1];
    mkdir((dir + "/2017-01-05").c_str(), 0755);
    mkdir((dir + "/2017-01-06").c_str(), 0755);

    Fixture fire; // conventional, CTCSS 100.0
    fire.alpha_tag = "FIRE DISP";
    fire.squelch_mode = 1;
    fire.squelch_value = 12;
    fire.info = "Station 4";
    fire.audio_bytes = 8000ull * 3;
    write_fixture(dir + "/2017-01-05/A001.AU", fire);

    Fixture police; // trunked talkgroup on a P25 system
    police.record_type = 1;
    police.second = 41;
    police.minute = 12;
    police.hour = 14;
    police.alpha_tag = "PD North";
    police.system_number = 2;
    police.system_type = 3;
    police.system_tag = "County P25";
    police.site_tag = "Hilltop";
    police.tgid1 = 1201;
    police.rid1 = 4401023;
    police.freq1_hz = 851012500;
    police.squelch_mode = 3;
    police.squelch_value = 0x293;
    police.audio_bytes = 8000ull * 2;
    write_fixture(dir + "/2017-01-05/A002.AU", police);

    Fixture search; // a search hit, DCS 023
    search.record_type = 2;
    search.day = 6;
    search.hour = 9;
    search.minute = 30;
    search.second = 0;
    search.alpha_tag = "";
    search.freq1_hz = 462562500;
    search.squelch_mode = 2;
    search.squelch_value = 5;
    search.other = "FRS 1";
    search.audio_bytes = 8000;
    write_fixture(dir + "/2017-01-06/B001.au", search);

    Fixture dmr; // trunked talkgroup on a DMR system, no squelch
    dmr.record_type = 1;
    dmr.day = 6;
    dmr.hour = 18;
    dmr.minute = 5;
    dmr.second = 12;
    dmr.alpha_tag = "Ops, \"Main\"";
    dmr.system_number = 7;
    dmr.system_type = 4;
    dmr.system_tag = "Utility";
    dmr.site_tag = "Plant";
    dmr.tgid1 = 9;
    dmr.rid1 = 3100077;
    dmr.freq1_hz = 453137500;
    dmr.audio_bytes = 8000ull * 4;
    write_fixture(dir + "/2017-01-06/B002.AU", dmr);
    return 0;
}
