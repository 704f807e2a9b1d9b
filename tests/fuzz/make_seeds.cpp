// Writes the fuzzer's seed corpus: recordings of every record type and
// squelch mode, and the headers the catalogue must reject.
#include <string>

#include "fixture.h"

int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    std::string dir = argv[1];
    int n = 0;
    auto seed = [&](const Fixture& f, const std::string& tail) {
        write_file(dir + "/seed" + std::to_string(n++), fixture_header(f) + tail);
    };
    for (std::uint8_t type = 0; type < 4; type++) {
        for (std::uint16_t mode = 0; mode < 5; mode++) {
            Fixture f;
            f.record_type = type;
            f.squelch_mode = mode;
            f.squelch_value = static_cast<std::uint16_t>(mode * 7);
            f.system_type = type;
            f.info = "say \"hi\"";
            seed(f, std::string("\0\0\x1f\x40", 4) + "rec/a,b.au");
        }
    }
    Fixture plain;
    plain.data_offset = 24;
    seed(plain, "");
    Fixture swapped;
    swapped.magic = 0x646E732E;
    seed(swapped, "");
    Fixture no_rate;
    no_rate.sample_rate = 0;
    seed(no_rate, "");
    return 0;
}
