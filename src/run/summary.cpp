#include "run/summary.h"

void write_run_summary(std::FILE* err, int count, std::time_t start, std::time_t end)
{
    char line[128];
    int n = std::snprintf(line, sizeof line, "\n%d total files processed in", count);
    long long elapsed = static_cast<long long>(end - start);
    if (elapsed == 0)
        std::snprintf(line + n, sizeof line - n, " less than a second\n");
    else if (elapsed == 1)
        std::snprintf(line + n, sizeof line - n, " 1 second\n");
    else
        std::snprintf(line + n, sizeof line - n, " %lld seconds (%lld per second)\n", elapsed,
                      count / elapsed);
    std::fputs(line, err);
}
