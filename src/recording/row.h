// One catalogue row per recording: 20 comma-separated columns.
#pragma once

#include <cstdio>

#include "platform/platform.h"
#include "recording/header.h"

// Reads the candidate file and, when it is a recording, writes its row.
// Returns 1 when a row was written, 0 when the file was passed over.
int catalogue_recording(std::FILE* out, const FileRef& file);

void write_catalogue_row(std::FILE* out, const char* path, const RecordingHeader& header);
