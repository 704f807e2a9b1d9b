// What both operating systems' files share, written once: where a
// listing's entries come from (the live listing, or the rest of it saved
// in memory once it gave up its descriptor), reading a file's first bytes,
// and the flag an interruption sets.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"

// An entry as the platform lists it: its name in the platform's bytes,
// terminator included, and the platform's word on what it is.
struct RawEntry {
    const void* name;
    std::size_t bytes;
    unsigned kind;
};

// The entries a listing had left when it gave up its descriptor, served
// from memory in listing order, and the failure that ended the listing
// early, if one did.
struct SavedEntries {
    struct Entry {
        std::size_t offset, bytes;
        unsigned kind;
    };
    std::string names;
    std::vector<Entry> entries;
    std::size_t next = 0;
    int error = 0;
};

bool has_saved(const SavedEntries& saved);

// Each operating system's file defines these four over its own listing.
bool has_live_listing(const DirListing* dir);
// The live listing's next entry; false at its end (*error 0) or when it
// failed (*error set).
bool next_live_entry(DirListing* dir, RawEntry* entry, int* error);
void give_up_descriptor(DirListing* dir);
SavedEntries& saved_entries(DirListing* dir);

// "." and "..", which the walk never goes into, told by the platform's own
// form of the name: a name that only the code page turns into dots (a
// full-width one, say) is a directory like any other.
template <typename Char> bool is_self_or_parent(const Char* name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// The listing's next entry, live or saved.
bool next_raw_entry(DirListing* dir, RawEntry* entry, int* error);

// Interruption, as each system's handler notes it: true for the first,
// false for any after it. `interruption` gives what the first noted, or 0.
bool note_interruption(int what);
int interruption();

// Of the first n bytes, those a file of this size holds: reading no further
// than its size spares a short file the second read that would only find
// its end. A file of no size (or not a regular file) is not read at all.
inline std::size_t head_bytes(std::size_t n, std::uint64_t size)
{
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, size));
}

// Reads into head until n bytes, the end of the file or a failure, through
// read_some(buffer, wanted), which returns the bytes it read (0 at the end,
// less than 0 on a failure, which it reports itself). Returns how many
// were read.
template <typename ReadSome>
std::size_t read_up_to(unsigned char* head, std::size_t n, ReadSome read_some)
{
    std::size_t got = 0;
    while (got < n) {
        long long r = read_some(head + got, n - got);
        if (r <= 0)
            break;
        got += static_cast<std::size_t>(r);
    }
    return got;
}
