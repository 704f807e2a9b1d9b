// The closing line, worded by the two readings of a clock that has whole
// seconds only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "run/summary.h"

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
    for (const auto& c : cases) {
        char* text = nullptr;
        std::size_t len = 0;
        std::FILE* err = open_memstream(&text, &len);
        write_run_summary(err, c.count, c.start, c.end);
        std::fclose(err);
        EXPECT_EQ(std::string(text, len), c.line);
        std::free(text);
    }
}
