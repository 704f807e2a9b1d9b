// What the catalogue needs from the operating system, and nothing more:
// list a directory, open a subdirectory or a file relative to an open
// listing, identify a directory, and find the current directory. Each
// operating system implements this in one file; nothing else in the tool
// knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

extern const char PATH_SEPARATOR;

// One open directory listing; its contents are the platform's business.
struct DirListing;

enum EntryType {
    ENTRY_OTHER,     // device, pipe, socket, dangling link, ...
    ENTRY_FILE,      // regular file, or a link to one
    ENTRY_DIRECTORY, // directory, or a link or junction to one
};

struct DirEntry {
    const char* name; // valid until the next read_entry on the same listing
    EntryType type;
    bool link; // a symbolic link, junction or mount point rather than the thing itself
};

// Identifies a directory on the machine, so that a link leading back to a
// directory on the current walk path can be recognised.
struct DirId {
    std::uint64_t volume;
    std::uint64_t file;
};

inline bool same_directory(DirId a, DirId b)
{
    return a.volume == b.volume && a.file == b.file;
}

// A file or directory named within an open listing. The full path is what
// the catalogue prints; platforms without relative opens use it instead.
struct FileRef {
    DirListing* dir;
    const char* name;
    const char* path;
};

// Opens the root given on the command line. On failure returns null and
// sets *error to an errno value.
DirListing* open_root(const std::string& root, int* error);

// Opens a subdirectory met in an open listing; null when it cannot be listed.
DirListing* open_subdirectory(const FileRef& ref);

DirId listing_id(const DirListing* dir);

// Next entry in listing order; false at the end of the listing.
bool read_entry(DirListing* dir, DirEntry* entry);

void close_listing(DirListing* dir);

// Reads up to n bytes from the start of a regular file (*got of them) and
// takes its size in bytes. False when it cannot be opened or is not a
// regular file; a short file is the caller's to judge.
bool read_file_head(const FileRef& file, unsigned char* head, std::size_t n, std::size_t* got,
                    std::uint64_t* size);

// The current directory as an absolute path; false with *error set.
bool current_directory(std::string* path, int* error);
