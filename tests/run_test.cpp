#include <gtest/gtest.h>

#include "run/catalogue.h"
#include "run/summary.h"

static std::string summary(int count, std::time_t start, std::time_t end)
{
    std::FILE* f = std::tmpfile();
    write_run_summary(f, count, start, end);
    std::string s(static_cast<std::size_t>(std::ftell(f)), '\0');
    std::rewind(f);
    EXPECT_EQ(std::fread(&s[0], 1, s.size(), f), s.size());
    std::fclose(f);
    return s;
}

TEST(Summary, WordingFollowsTheClockReadings)
{
    const std::time_t t = 1700000000;
    EXPECT_EQ(summary(0, t, t), "\n0 total files processed in less than a second\n");
    EXPECT_EQ(summary(12, t, t + 1), "\n12 total files processed in 1 second\n");
    EXPECT_EQ(summary(7, t, t + 2), "\n7 total files processed in 2 seconds (3 per second)\n");
    EXPECT_EQ(summary(1, t, t + 3), "\n1 total files processed in 3 seconds (0 per second)\n");
    EXPECT_EQ(summary(200000, t, t + 40),
              "\n200000 total files processed in 40 seconds (5000 per second)\n");
}

TEST(Walk, AuSuffixInAnyCase)
{
    struct Case {
        const char* name;
        bool candidate;
    } const cases[] = {
        {"X.AU", true},   {"x.au", true},   {"x.Au", true},     {"x.aU", true}, {".au", true},
        {"a.b.au", true}, {"x.aux", false}, {"xau", false},     {"au", false},  {"", false},
        {"x.a", false},   {"x_au", false},  {"x.\xC1U", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(has_au_suffix(c.name), c.candidate) << c.name;
}
