// The receiver stores indexes; these lists give the names the catalogue
// prints for them.
#pragma once

#include <cstddef>

// Names each ended by a NUL, the list closed by an empty name: entry 0 is
// the first name. Written as one string literal, whose own terminator makes
// the closing empty name.
using NameList = const char*;

extern const NameList RECORD_TYPE_NAMES;
extern const NameList SYSTEM_TYPE_NAMES;
extern const NameList CTCSS_TONES;
extern const NameList DCS_CODES;

// The name at index, or null when the list ends before it.
const char* name_at(NameList list, std::size_t index);
