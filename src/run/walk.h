// The directory walk: depth-first in listing order, a row for every
// recording and a progress dot after each subdirectory.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/readers.h"
#include "run/stretch.h"
#include "run/tuning.h"
#include "run/waits.h"

// What the walk decided, for a test to look at once the walk is over.
struct ReadersTrace {
    std::vector<int> targets; // reads in flight, at the start and after each stretch
    int threads_started = 0;
    int walk_slept = 0; // times the walk slept until reads were done
};

// What a test may put in the place of the system's, and what it may watch.
struct WalkSetup {
    ReadSeam read = {read_and_judge, nullptr};
    ReadersClock clock;
    unsigned processors = 0; // 0: as many as the process may use
    int descriptors = 0;     // 0: the budget taken from the system
    ReadersTrace* trace = nullptr;
    // How often the sleeping walk looks for an interruption; a test makes
    // it long, so that a wake-up lost shows as a hang, not a delay.
    std::chrono::milliseconds interruption_poll = INTERRUPTION_POLL;
};

// Why a run stopped before its end: a row could not be written, or
// descriptors ran short at path and nothing more could be given back.
struct Failure {
    int error = 0;
    bool writing = false;
    std::string path;
};

struct WalkResult {
    int rows = 0;
    int root_error = 0; // the root cannot be listed: nothing was walked
    Failure failure;    // the walk stopped early
    int failures = 0;   // places that could not be read; the walk went on
};

// Writes the catalogue's first line to out, as the walk writes rows: 0, or
// why it failed.
int write_column_row(std::FILE* out);

WalkResult scan_directory(const RootDir& root, std::FILE* out, std::FILE* progress,
                          const WalkSetup& setup = {});
