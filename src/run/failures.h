// What a failure to open, list or read a place means to the catalogue.
#pragma once

#include <cstdio>
#include <string>

// EMFILE or ENFILE: the open may succeed once a descriptor is given back.
bool is_shortage(int error);

// A place that is missing (vanished since it was listed, or a dangling
// link), not a directory, not accessible, or a link loop is passed over in
// silence, as files that are not recordings are. Whatever else the storage
// says (bad sectors, a card pulled out, a share gone or timed out, and
// whatever a system may add) is a failure, reported: the catalogue is
// incomplete, and a catalogue that is incomplete must say so.
bool is_silent(int error);

// The failures shown as they are met; the rest are counted at the end, so
// that a card pulled out with thousands of directories left does not
// flood the console.
constexpr int FAILURES_SHOWN = 10;

// "aucatalog: PATH: MESSAGE" on a line of its own.
void report_failure(std::FILE* err, const std::string& path, int error);

// The end of a run that met failures: how many were not shown.
void report_failures_not_shown(std::FILE* err, int failures);
