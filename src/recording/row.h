// One catalogue row per recording: 20 comma-separated columns.
#pragma once

#include <string>

#include "recording/header.h"

// The catalogue's first line: the names of the 20 columns.
extern const char COLUMN_HEADER_ROW[];

// Puts the row, ended by a newline, in row, replacing what it held.
void format_catalogue_row(std::string& row, const std::string& path, const RecordingHeader& header);
