// One catalogue row per recording: 20 comma-separated columns.
#pragma once

#include <cstdio>

#include "recording/header.h"

// Writes the row; false when the stream refused it (errno says why).
bool write_catalogue_row(std::FILE* out, const char* path, const RecordingHeader& header);
