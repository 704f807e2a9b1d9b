// Our recordings against a standard Au reader (sox), and sox's own Au files
// against the catalogue.
#include <gtest/gtest.h>

#include <cmath>

#include "support.h"

static bool have_sox()
{
    return std::system("command -v sox >/dev/null 2>&1 && command -v soxi >/dev/null 2>&1") == 0;
}

static std::string command_output(const std::string& cmd)
{
    std::string out;
    if (std::FILE* p = popen(cmd.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p))
            out += buf;
        pclose(p);
    }
    return out;
}

// The duration column of the only row, in seconds.
static long duration_of(const ToolResult& r)
{
    std::vector<std::string> lines = rows(r);
    if (lines.size() != 1)
        return -1;
    std::size_t c1 = lines[0].find(',', lines[0].find(',', lines[0].find(',') + 1) + 1);
    long minutes = 0, seconds = 0;
    if (std::sscanf(lines[0].c_str() + c1 + 1, "%ld:%ld", &minutes, &seconds) != 2)
        return -1;
    return minutes * 60 + seconds;
}

using Interop = TreeTest;

TEST_F(Interop, SoxReadsOurRecordingsAndAgreesOnTheDuration)
{
    if (!have_sox())
        GTEST_SKIP() << "sox is not installed";
    struct Case {
        std::uint32_t encoding, rate;
        std::uint64_t audio_bytes;
    } const cases[] = {
        {2, 8000, 8000ull * 3},   {2, 8000, 8000ull * 3 - 1}, {2, 11025, 11025ull * 61 + 5000},
        {1, 8000, 8000ull * 125}, // 8-bit mu-law
        {2, 22050, 100},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.encoding = c.encoding;
        f.sample_rate = c.rate;
        f.audio_bytes = c.audio_bytes;
        std::string path = root() + "/one.au";
        dir("");
        write_fixture(path, f);

        EXPECT_EQ(std::stoul(command_output("soxi -r '" + path + "'")), c.rate);
        double sox_seconds = std::stod(command_output("soxi -D '" + path + "'"));
        EXPECT_EQ(duration_of(run_tool({root()})), static_cast<long>(std::floor(sox_seconds)))
            << c.audio_bytes << " bytes at " << c.rate;
    }
}

TEST_F(Interop, OrdinaryAuFilesFromSoxAreNotRecordings)
{
    if (!have_sox())
        GTEST_SKIP() << "sox is not installed";
    dir("");
    std::string synth = " synth 1 sine 440";
    std::string sox = "sox -n -r 8000 -b 8 -e signed-integer ";
    ASSERT_EQ(std::system((sox + "'" + root() + "/plain.au'" + synth).c_str()), 0);
    ASSERT_EQ(
        std::system((sox + "--comment 'a short note' '" + root() + "/note.au'" + synth).c_str()),
        0);
    ToolResult r = run_tool({root()});
    EXPECT_EQ(r.out, HEADER_ROW);
    expect_progress(r, 0, 0);
}

// sox pads its annotation so that a 292-character comment makes the data
// offset exactly 320: the file is then read as a recording, with the
// comment's bytes as the receiver's fields.
TEST_F(Interop, SoxFileWithA320ByteHeaderIsDecodedAsARecording)
{
    if (!have_sox())
        GTEST_SKIP() << "sox is not installed";
    dir("");
    std::string comment(292, 'A');
    comment[0] = '\x02'; // record type: search
    std::string path = root() + "/annotated.au";
    std::string cmd = "sox -n -r 8000 -b 8 -e signed-integer --comment \"$(printf '\\002')" +
                      comment.substr(1) + "\" '" + path + "' synth 1 sine 440";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char offset[8] = {};
    EXPECT_EQ(std::fread(offset, 1, 8, f), 8u);
    std::fclose(f);
    ASSERT_EQ(offset[6] << 8 | offset[7], 320);

    // Every other field is made of 0x41 bytes.
    std::string a17(17, 'A');
    ToolResult r = run_tool({root()});
    EXPECT_EQ(r.out, HEADER_ROW + path + ",18605-16706-16705,16705:16705:16705,0:01,\"" + a17 +
                         "\",SRCH,-1,,,,1094795585,1094795585,1094795585,1094795585,"
                         "1094.795585,1094.795585,,,\"" +
                         a17 + "\",\"" + a17 + "\"\n");
    expect_progress(r, 0, 1);
}
