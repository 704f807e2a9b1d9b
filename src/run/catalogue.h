// The catalogue run: choose the root, walk it, report.
#pragma once

#include <cstdio>
#include <string>

#include "platform/platform.h"

extern const char COLUMN_HEADER_ROW[];

// True when the name ends in ".au" in any letter case.
bool has_au_suffix(const char* name);

// Walks dir depth-first in listing order, writing a row to out for every
// recording and a dot to progress after each subdirectory. Returns how many
// recordings were catalogued; *error is set (errno value) when dir itself
// cannot be listed, and left 0 otherwise. The walk stops when a row cannot
// be written, with *write_failure set.
int scan_directory(const RootDir& dir, std::FILE* out, std::FILE* progress, int* error,
                   int* write_failure);

// The tool's entry; returns the exit status.
int run_catalogue(int argc, char** argv);
