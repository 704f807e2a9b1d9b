// What both operating systems' files share, written once: the rest of a
// released listing kept in memory, and reading a file's first bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The entries a listing had left when it gave up its descriptor, served
// from memory in listing order. A name is kept as the platform's bytes,
// with its terminator; `kind` is the platform's word on what it is.
struct SavedEntries {
    struct Entry {
        std::size_t offset, bytes;
        unsigned kind;
    };
    std::string names;
    std::vector<Entry> entries;
    std::size_t next = 0;
};

void save_entry(SavedEntries& saved, const void* name, std::size_t bytes, unsigned kind);

// The next saved entry; false when none is left.
bool next_saved(SavedEntries& saved, const char** name, std::size_t* bytes, unsigned* kind);

bool has_saved(const SavedEntries& saved);

// Of the first n bytes, those a file of this size holds: reading no further
// than its size spares a short file the second read that would only find
// its end. A file of no size (or not a regular file) is not read at all.
inline std::size_t head_bytes(std::size_t n, std::uint64_t size)
{
    return static_cast<std::size_t>(std::min<std::uint64_t>(n, size));
}

// Reads into head until n bytes, the end of the file or a failure, through
// read_some(buffer, wanted), which returns the bytes it read (0 at the end,
// less than 0 on a failure). Returns how many were read.
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
