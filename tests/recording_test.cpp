// Header decoding and the catalogue row, from bytes to text.
#include <gtest/gtest.h>

#include <sstream>
#include <string_view>

#include "recording/header.h"
#include "recording/row.h"

using namespace std::literals;
using Patches = std::vector<std::pair<std::size_t, std::string_view>>;

// A talkgroup recording written out byte by byte from the header's layout
// (the bytes not given are zero), and its row.
// clang-format off
const Patches GOLDEN = {
    {0, ".snd\0\0\x01\x40\0\x0F\x42\x40\0\0\0\x02\0\0\x1F\x40\0\0\0\x01\x01"sv},
    {25, "\x11\0\x22\0\x0E\0\x1F\0\x0B\0\x75\0"sv}, // s m h d month0 year1900, little-endian
    {43, "PD North"sv}, {60, "County P25"sv}, {77, "say \"again\""sv}, {114, "Hilltop"sv},
    {98, "\0\0\x03\xE9\xFF\xFF\xFF\xFF\0\x43\x27\x7F\x80\0\0\0"sv}, {131, "\x2A\0\0\0"sv},
    {135, "ABCDEFGHIJKLMNOPQ"sv}, // 17 bytes, no NUL: runs up to the frequency
    {152, "\x32\xB9\x6B\x94\x09\x34\x6A\x30\0\x03\x0F\x7E\x03"sv},
};
const std::string GOLDEN_ROW =
    "p.au,2017-12-31,14:34:17,2:05,\"PD North\",TGRP,42,P25,\"County P25\",\"Hilltop\",1001,-1,"
    "4401023,-2147483648,851.012500,154.430000,P25,F7E,\"say \"\"again\"\"\",\"ABCDEFGHIJKLMNOPQ\"";

struct Case {
    Patches patches;
    // Columns (from 1) that differ from the golden row; a null column ends
    // the row before it, and a null first column means no row at all.
    std::vector<std::pair<int, const char*>> columns;
    std::uint64_t size = 1000320; // of the whole file
};

const Case CASES[] = {
    {{}, {}},
    {{{24, "\0"sv}, {164, "\x05"sv}}, {{6, "CONV"}, {7, "-1"}, {8, ""}, {9, ""}, {10, ""}}},
    {{{24, "\x02"sv}, {160, "\0\0\0\x0C"sv}}, {{6, "SRCH"}, {7, "-1"}, {8, ""}, {9, ""}, {10, ""}, {17, ""}, {18, ""}}},
    {{{24, "\x03"sv}}, {{5, "unknown type"}, {6, nullptr}}},
    {{{24, "\xFF"sv}, {16, "\0\0\0\0"sv}}, {{4, ""}, {5, "unknown type"}, {6, nullptr}}},
    {{{164, "\0"sv}, {160, "\0\x01\0\x0C"sv}, {43, "\"\0"sv}, {114, "\0"sv}}, {{8, "MOT"}, {17, "CTCSS"}, {18, "100.0"}, {5, "\"\"\"\""}, {10, "\"\""}}},
    {{{164, "\x05"sv}, {160, "\0\x01\0\0"sv}, {106, "\x7F\xFF\xFF\xFF"sv}}, {{8, "NXDN"}, {17, "CTCSS"}, {18, "67.0"}, {13, "2147483647"}}},
    {{{164, "\x06"sv}, {160, "\0\x01\0\x31"sv}, {43, "AB\0CD"sv}}, {{8, ""}, {17, "CTCSS"}, {18, "254.1"}, {5, "\"AB\""}}},
    {{{160, "\0\x01\0\x32"sv}, {152, "\0\0\0\0\0\x0F\x42\x3F"sv}}, {{17, "CTCSS"}, {18, ""}, {15, "0.000000"}, {16, "0.999999"}}},
    {{{160, "\0\x02\0\0"sv}, {152, "\xFF\xFF\xFF\xFF"sv}, {131, "\xF9\xFF\xFF\xFF"sv}}, {{17, "DCS"}, {18, "006"}, {15, "4294.967295"}, {7, "-7"}}},
    {{{160, "\0\x02\0\x05"sv}, {25, "\x09\0\x03\0\x07\0\x05\0\0\0\x75\0"sv}}, {{17, "DCS"}, {18, "023"}, {2, "2017-01-05"}, {3, "07:03:09"}}},
    {{{160, "\0\x02\0\x6F"sv}, {25, "\xFF\xFF\0\0\x64\0\0\0\xFF\xFF\xFF\xFF"sv}}, {{17, "DCS"}, {18, "754"}, {2, "67435-65536-00"}, {3, "100:00:65535"}}},
    {{{160, "\0\x02\0\x70"sv}}, {{17, "DCS"}, {18, ""}, {4, "0:00"}}, 320},
    {{{162, "\0\x1F"sv}}, {{18, "01F"}, {4, "1:00"}}, 480320},
    {{{162, "\0\0"sv}}, {{18, "000"}, {4, "0:59"}}, 480319},
    {{{152, "\0\x98\x96\x80"sv}}, {{15, "10.000000"}, {4, "10:00"}}, 4800320}, // two digits
    {{{162, "\xAB\xCD"sv}, {16, "\0\0\0\x01"sv}}, {{18, "ABCD"}, {4, "62:05"}}, 4045},
    {{{160, "\0\x04"sv}, {16, "\0\0\0\x01"sv}}, {{17, ""}, {18, ""}, {4, "357913941:20"}}, (5ull << 32) + 320},
    {{{16, "\0\0\0\x01"sv}}, {{4, "307445734561825854:55"}}, UINT64_MAX}, // minutes past 32 bits
    {{{160, "\x01\0"sv}}, {{17, ""}, {18, ""}}}, // the mode is big-endian
    {{{43, "\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\""sv}}, {{5, "\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\"\""}}},
    {{}, {{4, "8947:50"}}, (1ull << 32) + 100}, // no shorter than the header
    {{}, {{1, nullptr}}, 319},
    {{{4, "\0\0\0\x18"sv}}, {{1, nullptr}}}, // a plain Au header
    {{{4, "\0\0\x01\x41"sv}}, {{1, nullptr}}},
    {{{4, "\x40\x01\0\0"sv}}, {{1, nullptr}}},
    {{{0, "dns."sv}}, {{1, nullptr}}},
};
// clang-format on

static std::string golden_header(const Patches& patches)
{
    std::string head(HEADER_SIZE, '\0');
    for (const Patches* list : {&GOLDEN, &patches})
        for (auto [at, bytes] : *list)
            head.replace(at, bytes.size(), bytes);
    return head;
}

static std::string row_of(const RecordingHeader& h, const char* path)
{
    std::string row;
    format_catalogue_row(row, path, h);
    return row;
}

// The row, or nothing when the file is not a recording.
static std::string row_for(const Case& c)
{
    std::string head = golden_header(c.patches);
    std::optional<RecordingHeader> h =
        decode_recording(reinterpret_cast<const unsigned char*>(head.data()), HEADER_SIZE, c.size);
    return h ? row_of(*h, "p.au") : "";
}

TEST(Recording, BytesToRow)
{
    for (const Case& c : CASES) {
        std::vector<std::string> columns;
        std::istringstream in(GOLDEN_ROW);
        for (std::string column; std::getline(in, column, ',');)
            columns.push_back(column);
        std::size_t end = columns.size();
        for (auto [column, text] : c.columns) {
            if (text)
                columns[column - 1] = text;
            else
                end = std::min<std::size_t>(end, column - 1);
        }
        std::string row;
        for (std::size_t i = 0; i < end; i++)
            row += columns[i] + (i + 1 < end ? "," : "\n");
        EXPECT_EQ(row_for(c), row) << "case " << &c - CASES;
    }
}
