#include <gtest/gtest.h>

#include <sys/stat.h>

#include "fixture.h"
#include "platform/platform.h"
#include "recording/header.h"
#include "support.h"

static const unsigned char* bytes(const std::string& s)
{
    return reinterpret_cast<const unsigned char*>(s.data());
}

static RecordingHeader decode(const std::string& head, std::uint64_t size = 320)
{
    EXPECT_TRUE(is_recording_header(bytes(head)));
    return decode_recording_header(bytes(head), size);
}

TEST(Header, DecodesEachFieldInItsOwnByteOrder)
{
    Fixture f;
    f.record_type = 1;
    f.second = 59;
    f.minute = 58;
    f.hour = 23;
    f.day = 31;
    f.month0 = 11;
    f.year1900 = 125;
    f.alpha_tag = "ALPHA";
    f.system_tag = "SYSTEM";
    f.info = "INFO";
    f.site_tag = "SITE";
    f.other = "OTHER";
    f.tgid1 = 0x01020304;
    f.tgid2 = -2;
    f.rid1 = 123456;
    f.rid2 = -123456;
    f.system_number = 0x0A0B0C0D;
    f.freq1_hz = 851012500;
    f.freq2_hz = 0xFFFFFFFF;
    f.squelch_mode = 0x0102;
    f.squelch_value = 0xF7E;
    f.system_type = 0xEE;
    f.sample_rate = 0x00ABCDEF;
    RecordingHeader h = decode(fixture_header(f), 1000);

    EXPECT_EQ(h.file_size, 1000u);
    EXPECT_EQ(h.data_offset, 320u);
    EXPECT_EQ(h.sample_rate, 0x00ABCDEFu);
    EXPECT_EQ(h.record_type, 1);
    EXPECT_EQ(h.second, 59);
    EXPECT_EQ(h.minute, 58);
    EXPECT_EQ(h.hour, 23);
    EXPECT_EQ(h.day, 31);
    EXPECT_EQ(h.month0, 11);
    EXPECT_EQ(h.year1900, 125);
    EXPECT_STREQ(h.alpha_tag, "ALPHA");
    EXPECT_STREQ(h.system_tag, "SYSTEM");
    EXPECT_STREQ(h.info, "INFO");
    EXPECT_STREQ(h.site_tag, "SITE");
    EXPECT_STREQ(h.other, "OTHER");
    EXPECT_EQ(h.tgid1, 0x01020304);
    EXPECT_EQ(h.tgid2, -2);
    EXPECT_EQ(h.rid1, 123456);
    EXPECT_EQ(h.rid2, -123456);
    EXPECT_EQ(h.system_number, 0x0A0B0C0D);
    EXPECT_EQ(h.freq1_hz, 851012500u);
    EXPECT_EQ(h.freq2_hz, 0xFFFFFFFFu);
    EXPECT_EQ(h.squelch_mode, 0x0102);
    EXPECT_EQ(h.squelch_value, 0xF7E);
    EXPECT_EQ(h.system_type, 0xEE);
}

TEST(Header, ReadsRawBytesAtOddOffsets)
{
    std::string head = fixture_header(Fixture{});
    head.replace(25, 4, "\x11\x00\x22\x00", 4);  // second, minute: little-endian
    head.replace(131, 4, "\x2A\x00\x00\x00", 4); // system number: little-endian
    head.replace(98, 4, "\x00\x00\x00\x2A", 4);  // tgid 1: big-endian
    head.replace(102, 4, "\xFF\xFF\xFF\xFF", 4); // tgid 2: all ones is -1
    head.replace(160, 4, "\x00\x03\x80\x01", 4); // 16-bit words are not sign-extended
    RecordingHeader h = decode(head);
    EXPECT_EQ(h.second, 17);
    EXPECT_EQ(h.minute, 34);
    EXPECT_EQ(h.system_number, 42);
    EXPECT_EQ(h.tgid1, 42);
    EXPECT_EQ(h.tgid2, -1);
    EXPECT_EQ(h.squelch_mode, 3);
    EXPECT_EQ(h.squelch_value, 0x8001);
}

TEST(Header, TextStopsAtTheFirstNulOrAfterSeventeenBytes)
{
    Fixture f;
    f.alpha_tag = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"; // the writer keeps 17 bytes, no NUL
    f.system_tag = std::string("AB\0CD", 5);
    f.info = "\"quoted\", \xE9t\xE9";
    RecordingHeader h = decode(fixture_header(f));
    EXPECT_STREQ(h.alpha_tag, "ABCDEFGHIJKLMNOPQ");
    EXPECT_STREQ(h.system_tag, "AB");
    EXPECT_STREQ(h.info, "\"quoted\", \xE9t\xE9");
    EXPECT_STREQ(h.site_tag, "");
}

TEST(Header, DurationIsAudioBytesOverSampleRate)
{
    struct Case {
        std::uint64_t file_size;
        std::uint32_t rate;
        std::uint64_t seconds;
    } const cases[] = {
        {320, 8000, 0},
        {320 + 480000, 8000, 60},
        {320 + 479999, 8000, 59},
        {320 + 7, 1, 7},
        {320 + 5ull * 1024 * 1024 * 1024, 8000, 5ull * 1024 * 1024 * 1024 / 8000}, // over 4 GiB
        {320 + 1000, 0, 0},                                                        // no rate
    };
    for (const Case& c : cases) {
        Fixture f;
        f.sample_rate = c.rate;
        EXPECT_EQ(decode(fixture_header(f), c.file_size).duration_seconds, c.seconds)
            << c.file_size << " bytes at " << c.rate;
    }
}

TEST(Header, RejectsForeignHeaders)
{
    struct Case {
        const char* what;
        std::uint32_t magic;
        std::uint32_t offset;
    } const cases[] = {
        {"plain Au header", 0x2E736E64, 24},
        {"little-endian magic", 0x646E732E, 320},
        {"foreign magic", 0x52494646, 320},
        {"offset 321", 0x2E736E64, 321},
        {"offset byte-swapped", 0x2E736E64, 0x40010000},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.magic = c.magic;
        f.data_offset = c.offset;
        EXPECT_FALSE(is_recording_header(bytes(fixture_header(f)))) << c.what;
    }
}

// Reading through the platform layer, as the walk does.
struct HeaderFile : ::testing::Test {
    TempDir tmp;

    std::optional<RecordingHeader> read(const std::string& name)
    {
        int error = 0;
        DirListing* dir = open_root(tmp.path, &error);
        EXPECT_NE(dir, nullptr);
        std::string path = tmp.path + "/" + name;
        std::optional<RecordingHeader> h = read_recording_header({dir, name.c_str(), path.c_str()});
        close_listing(dir);
        return h;
    }
};

TEST_F(HeaderFile, AcceptsExactHeaderAndMeasuresTheFile)
{
    Fixture f;
    f.audio_bytes = 0;
    write_fixture(tmp.path + "/exact.au", f);
    f.audio_bytes = 480000;
    write_fixture(tmp.path + "/minute.au", f);

    ASSERT_TRUE(read("exact.au"));
    EXPECT_EQ(read("exact.au")->duration_seconds, 0u);
    ASSERT_TRUE(read("minute.au"));
    EXPECT_EQ(read("minute.au")->file_size, 480320u);
    EXPECT_EQ(read("minute.au")->duration_seconds, 60u);
}

TEST_F(HeaderFile, PassesOverWhatIsNotARecording)
{
    Fixture plain;
    plain.data_offset = 24;
    write_file(tmp.path + "/plain.au", fixture_file(plain));
    write_file(tmp.path + "/short.au", fixture_header(Fixture{}).substr(0, 319));
    write_file(tmp.path + "/empty.au", "");
    make_dirs(tmp.path + "/dir.au");
    ASSERT_EQ(mkfifo((tmp.path + "/pipe.au").c_str(), 0600), 0);

    for (const char* name : {"plain.au", "short.au", "empty.au", "dir.au", "pipe.au", "missing.au"})
        EXPECT_FALSE(read(name)) << name;
}
