// The closing lines: the summary, worded by the two readings of a clock
// that has whole seconds only, and the count of places not shown.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "run/failures.h"
#include "run/summary.h"

template <typename Write> std::string written(Write write)
{
    char* text = nullptr;
    std::size_t len = 0;
    std::FILE* err = open_memstream(&text, &len);
    write(err);
    std::fclose(err);
    std::string s(text, len);
    std::free(text);
    return s;
}

TEST(Summary, WordedByTheSecondsBetweenReadings)
{
    const struct {
        int count;
        std::time_t start, end;
        const char* line;
    } cases[] = {
        {0, 100, 100, "\n0 total files processed in less than a second\n"},
        {7, 100, 101, "\n7 total files processed in 1 second\n"},
        {7, 100, 102, "\n7 total files processed in 2 seconds (3 per second)\n"},
        {2000000000, 0, 3600,
         "\n2000000000 total files processed in 3600 seconds (555555 per second)\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written([&](std::FILE* err) { write_run_summary(err, c.count, c.start, c.end); }),
                  c.line);
}

TEST(Summary, PlacesNotShown)
{
    const std::pair<int, const char*> cases[] = {
        {FAILURES_SHOWN, ""},
        {FAILURES_SHOWN + 1, "aucatalog: 1 more place could not be read\n"},
        {FAILURES_SHOWN + 2, "aucatalog: 2 more places could not be read\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(written([&](std::FILE* err) { report_failures_not_shown(err, c.first); }),
                  c.second);
}
