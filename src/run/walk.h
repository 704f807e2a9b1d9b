// The directory walk: depth-first in listing order, a row for every
// recording and a progress dot after each subdirectory.
#pragma once

#include <cstdio>

#include "platform/platform.h"
#include "run/readers.h"
#include "run/waits.h"

// What a test may put in the place of the system's, and what it may watch.
struct WalkSetup {
    ReadHead read = read_and_judge;
    ReadersClock clock;
    unsigned processors = 0; // 0: as many as the process may use
    int descriptors = 0;     // 0: the budget taken from the system
    ReadersTrace* trace = nullptr;
};

struct WalkResult {
    int rows = 0;
    int root_error = 0; // the root cannot be listed: nothing was walked
    Failure failure;    // the walk stopped early
};

WalkResult scan_directory(const RootDir& root, std::FILE* out, std::FILE* progress,
                          const WalkSetup& setup = {});
