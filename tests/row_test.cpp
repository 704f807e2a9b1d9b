#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>

#include "fixture.h"
#include "recording/header.h"
#include "recording/row.h"
#include "recording/tables.h"

static std::string row_of(const RecordingHeader& h, const char* path = "p.au")
{
    std::FILE* f = std::tmpfile();
    write_catalogue_row(f, path, h);
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(&s[0], 1, s.size(), f), s.size());
    std::fclose(f);
    return s;
}

static RecordingHeader header_of(const Fixture& f)
{
    std::string head = fixture_header(f);
    return decode_recording_header(reinterpret_cast<const unsigned char*>(head.data()),
                                   320 + f.audio_bytes);
}

static std::string row_of(const Fixture& f, const char* path = "p.au")
{
    return row_of(header_of(f), path);
}

TEST(Row, FormatsEachKindOfRecording)
{
    struct Case {
        const char* what;
        std::function<void(Fixture&)> set;
        const char* row;
    } const cases[] = {
        {"conventional", [](Fixture&) {},
         "p.au,2017-01-05,07:03:09,0:01,\"FIRE "
         "DISP\",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\","
         "\"\"\n"},
        {"conventional ignores the system fields",
         [](Fixture& f) {
             f.system_number = 5;
             f.system_type = 3;
             f.system_tag = "X";
         },
         "p.au,2017-01-05,07:03:09,0:01,\"FIRE "
         "DISP\",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\","
         "\"\"\n"},
        {"talkgroup, P25 system",
         [](Fixture& f) {
             f.record_type = 1;
             f.system_number = 42;
             f.system_type = 3;
             f.system_tag = "COUNTY";
             f.site_tag = "NORTH";
             f.tgid1 = 1201;
             f.tgid2 = -1;
             f.rid1 = 70001;
             f.rid2 = 2147483647;
             f.freq2_hz = 851012500;
             f.squelch_mode = 3;
             f.squelch_value = 0x293;
             f.info = "info";
             f.other = "other";
         },
         "p.au,2017-01-05,07:03:09,0:01,\"FIRE "
         "DISP\",TGRP,42,P25,\"COUNTY\",\"NORTH\",1201,-1,70001,"
         "2147483647,154.430000,851.012500,P25,293,\"info\",\"other\"\n"},
        {"talkgroup, unnamed system type, negative system number",
         [](Fixture& f) {
             f.record_type = 1;
             f.system_type = 9;
             f.system_number = -7;
             f.tgid1 = INT32_MIN;
         },
         "p.au,2017-01-05,07:03:09,0:01,\"FIRE DISP\",TGRP,-7,,\"\",\"\",-2147483648,0,0,0,"
         "154.430000,0.000000,,,\"\",\"\"\n"},
        {"search", [](Fixture& f) { f.record_type = 2; },
         "p.au,2017-01-05,07:03:09,0:01,\"FIRE "
         "DISP\",SRCH,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\","
         "\"\"\n"},
        {"unknown type stops after the duration", [](Fixture& f) { f.record_type = 3; },
         "p.au,2017-01-05,07:03:09,0:01,unknown type\n"},
        {"no sample rate leaves the duration empty", [](Fixture& f) { f.sample_rate = 0; },
         "p.au,2017-01-05,07:03:09,,\"FIRE DISP\",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\","
         "\"\"\n"},
        {"quotes doubled, empty tag",
         [](Fixture& f) {
             f.alpha_tag = "";
             f.info = "\"";
             f.other = "a,\"b\"";
         },
         "p.au,2017-01-05,07:03:09,0:01,\"\",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\"\"\","
         "\"a,\"\"b\"\"\"\n"},
        {"dates and times are padded, never cut",
         [](Fixture& f) {
             f.year1900 = 65535;
             f.month0 = 65535;
             f.day = 0;
             f.hour = 100;
             f.minute = 0;
             f.second = 65535;
         },
         "p.au,67435-65536-00,100:00:65535,0:01,\"FIRE DISP\",CONV,-1,,,,0,0,0,0,154.430000,"
         "0.000000,,,\"\",\"\"\n"},
    };
    for (const Case& c : cases) {
        Fixture f;
        c.set(f);
        EXPECT_EQ(row_of(f), c.row) << c.what;
    }
}

// Columns 17 and 18 for each squelch mode.
TEST(Row, SquelchColumns)
{
    struct Case {
        std::uint16_t mode, value;
        const char* columns;
    } const cases[] = {
        {1, 12, ",CTCSS,100.0,"},    {1, 0, ",CTCSS,67.0,"},      {1, 49, ",CTCSS,254.1,"},
        {1, 50, ",CTCSS,,"},         {2, 0, ",DCS,006,"},         {2, 5, ",DCS,023,"},
        {2, 111, ",DCS,754,"},       {2, 112, ",DCS,,"},          {3, 0x1F, ",P25,01F,"},
        {3, 0xF7E, ",P25,F7E,"},     {3, 0, ",P25,000,"},         {3, 0xABCD, ",P25,ABCD,"},
        {0, 12, ",0.000000,,,\"\""}, {4, 12, ",0.000000,,,\"\""}, {0xFFFF, 1, ",0.000000,,,\"\""},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.squelch_mode = c.mode;
        f.squelch_value = c.value;
        std::string row = row_of(f);
        EXPECT_NE(row.find(c.columns), std::string::npos)
            << "mode " << c.mode << " value " << c.value << ": " << row;
    }
}

TEST(Row, DurationAndFrequencyColumns)
{
    struct Case {
        std::uint64_t audio_bytes;
        std::uint32_t rate, freq;
        const char* columns;
    } const cases[] = {
        {59, 1, 0, ",0:59,"},
        {3725, 1, 154430000, ",62:05,"},
        {8000ull * 86400 * 3, 8000, 1, ",4320:00,"},
        {5ull << 32, 1, 0, ",357913941:20,"}, // a file of over 4 GiB
        {0, 8000, 154430000, ",154.430000,"},
        {0, 8000, 0, ",0.000000,"},
        {0, 8000, 999999, ",0.999999,"},
        {0, 8000, 4294967295u, ",4294.967295,"},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.audio_bytes = c.audio_bytes;
        f.sample_rate = c.rate;
        f.freq1_hz = c.freq;
        std::string row = row_of(f);
        EXPECT_NE(row.find(c.columns), std::string::npos) << row;
    }
}

TEST(Row, PathIsBareUnlessItWouldBreakTheRow)
{
    Fixture f;
    f.record_type = 3;
    struct Case {
        const char* path;
        const char* column;
    } const cases[] = {
        {"/rec/2017/A001.AU", "/rec/2017/A001.AU,"},
        {"rec dir/\xE9t\xE9.au", "rec dir/\xE9t\xE9.au,"},
        {"rec,2017/a.au", "\"rec,2017/a.au\","},
        {"say \"hi\".au", "\"say \"\"hi\"\".au\","},
        {"line\nbreak.au", "\"line\nbreak.au\","},
        {"cr\r.au", "\"cr\r.au\","},
    };
    for (const Case& c : cases)
        EXPECT_EQ(row_of(f, c.path),
                  std::string(c.column) + "2017-01-05,07:03:09,0:01,unknown type\n");
}

TEST(Row, LongPathsAndFullTextFieldsArriveWhole)
{
    Fixture f;
    f.alpha_tag = std::string(17, '"');
    std::string path(5000, 'd');
    std::string row = row_of(f, path.c_str());
    EXPECT_EQ(row.compare(0, path.size() + 1, path + ","), 0);
    EXPECT_NE(row.find("," + std::string(36, '"') + ",CONV,"), std::string::npos);
}

TEST(Tables, NamesAndEnds)
{
    struct Case {
        NameList list;
        std::size_t count;
        const char* first;
        const char* last;
    } const cases[] = {
        {RECORD_TYPE_NAMES, 3, "CONV", "SRCH"},
        {SYSTEM_TYPE_NAMES, 6, "MOT", "NXDN"},
        {CTCSS_TONES, 50, "67.0", "254.1"},
        {DCS_CODES, 112, "006", "754"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(name_at(c.list, 0), c.first);
        EXPECT_STREQ(name_at(c.list, c.count - 1), c.last);
        EXPECT_EQ(name_at(c.list, c.count), nullptr);
        EXPECT_EQ(name_at(c.list, 100000), nullptr);
    }
    EXPECT_EQ(name_at("", 0), nullptr);
    EXPECT_STREQ(name_at(SYSTEM_TYPE_NAMES, 3), "P25");
}

// Both tables are ascending; a slip in either shows as a step backwards.
TEST(Tables, TonesAndCodesAscend)
{
    for (std::size_t i = 1; i < 50; i++)
        EXPECT_LT(std::stod(name_at(CTCSS_TONES, i - 1)), std::stod(name_at(CTCSS_TONES, i))) << i;
    for (std::size_t i = 0; i < 112; i++) {
        const char* code = name_at(DCS_CODES, i);
        ASSERT_EQ(std::strlen(code), 3u) << i;
        EXPECT_EQ(std::strspn(code, "01234567"), 3u) << code;
        if (i > 0) {
            EXPECT_LT(std::strcmp(name_at(DCS_CODES, i - 1), code), 0) << code;
        }
    }
}

// The row written the plain way, with printf, to check the hand-written
// formatting against.
static std::string printf_row(const char* path, const RecordingHeader& h)
{
    auto quote = [](const char* t) {
        std::string q = "\"";
        for (; *t; t++)
            q += *t == '"' ? std::string("\"\"") : std::string(1, *t);
        return q + "\"";
    };
    char b[512];
    std::string row = path;
    std::snprintf(b, sizeof b, ",%04d-%02d-%02d,%02d:%02d:%02d,", h.year1900 + 1900, h.month0 + 1,
                  h.day, h.hour, h.minute, h.second);
    row += b;
    if (h.sample_rate) {
        std::snprintf(b, sizeof b, "%llu:%02llu",
                      static_cast<unsigned long long>(h.duration_seconds / 60),
                      static_cast<unsigned long long>(h.duration_seconds % 60));
        row += b;
    }
    const char* type = name_at(RECORD_TYPE_NAMES, h.record_type);
    if (!type)
        return row + ",unknown type\n";
    row += "," + quote(h.alpha_tag) + "," + type;
    if (h.record_type == 1) {
        const char* sys = name_at(SYSTEM_TYPE_NAMES, h.system_type);
        std::snprintf(b, sizeof b, ",%d,%s,", h.system_number, sys ? sys : "");
        row += b + quote(h.system_tag) + "," + quote(h.site_tag);
    } else {
        row += ",-1,,,";
    }
    std::snprintf(b, sizeof b, ",%d,%d,%d,%d,%u.%06u,%u.%06u", h.tgid1, h.tgid2, h.rid1, h.rid2,
                  h.freq1_hz / 1000000, h.freq1_hz % 1000000, h.freq2_hz / 1000000,
                  h.freq2_hz % 1000000);
    row += b;
    const char* name = nullptr;
    switch (h.squelch_mode) {
    case 1:
        name = name_at(CTCSS_TONES, h.squelch_value);
        row += std::string(",CTCSS,") + (name ? name : "");
        break;
    case 2:
        name = name_at(DCS_CODES, h.squelch_value);
        row += std::string(",DCS,") + (name ? name : "");
        break;
    case 3:
        std::snprintf(b, sizeof b, ",P25,%03X", h.squelch_value);
        row += b;
        break;
    default:
        row += ",,";
    }
    return row + "," + quote(h.info) + "," + quote(h.other) + "\n";
}

TEST(Row, MatchesPrintfForRandomHeaders)
{
    std::mt19937_64 rng(20261206);
    for (int i = 0; i < 20000; i++) {
        unsigned char head[HEADER_SIZE];
        for (unsigned char& b : head)
            b = static_cast<unsigned char>(rng() % 5 == 0 ? '"' : rng());
        // Small indexes often enough to reach every table and record type.
        head[24] = static_cast<unsigned char>(rng() % 5);
        head[160] = 0;
        head[161] = static_cast<unsigned char>(rng() % 5);
        if (rng() % 2)
            head[162] = 0;
        RecordingHeader h = decode_recording_header(head, rng() >> (rng() % 64));
        ASSERT_EQ(row_of(h), printf_row("p.au", h)) << "header " << i;
    }
}
