#pragma once

#include <cstdio>
#include <ctime>

// "N total files processed in ..." after the line of progress dots. The
// clock has whole seconds only, so the wording compares the two readings.
void write_run_summary(std::FILE* err, int count, std::time_t start, std::time_t end);
