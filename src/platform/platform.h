// What the catalogue needs from the operating system, and nothing more:
// find the root, list a directory, open a subdirectory or read a file met
// in an open listing, identify a directory, say why something failed, hear
// of an interruption, and tell how busy the machine is. Each operating
// system implements this in one file (platform_posix.cpp,
// platform_win32.cpp), and what both share is written once (shared.cpp);
// nothing else in the tool knows which one it runs on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

extern const char PATH_SEPARATOR;

// Whether a path's last character is the separator: in a double-byte code
// page its last byte may be the second half of another character.
bool ends_in_separator(const std::string& path);

// How a line of the catalogue ends: CR LF on Windows.
extern const char LINE_END[];

// Standard output unbuffered and written as given, with no translation of
// line ends: the walk buffers the rows itself, and counts those that went
// out by the bytes written.
void set_raw_output(std::FILE* out);

// Whether the stream goes to a terminal (a console), where the rows share
// the screen with the progress dots.
bool is_terminal(std::FILE* stream);

// The directory the catalogue starts from. Rows are built on `shown`, the
// path as given or the current directory, in the bytes the console shows;
// `native` is what the platform opens it by (on Windows the UTF-16 path,
// which the console's code page may not hold).
struct RootDir {
    std::string shown;
    std::string native;
};

// The first argument after the program's name or, without one, the current
// directory. False with *error set (errno value) when the current directory
// cannot be determined.
bool choose_root(int argc, char** argv, RootDir* root, int* error);

// One open directory listing; its contents are the platform's business.
struct DirListing;

enum EntryType {
    ENTRY_OTHER,     // device, pipe, socket, dangling link, ...
    ENTRY_FILE,      // regular file, or a link to one
    ENTRY_DIRECTORY, // directory, or a link or junction to one
};

struct DirEntry {
    const char* name;   // as rows show it; valid until the next read_entry on the listing
    const void* native; // the name in the platform's own form (on Windows UTF-16)
    EntryType type;
    bool link; // a symbolic link, junction or mount point rather than the thing itself
    int error; // ENTRY_OTHER because its type could not be learnt: why
};

// Identifies a directory on the machine, so that a link leading back to a
// directory already walked can be recognised.
struct DirId {
    std::uint64_t volume;
    std::uint64_t file;
};

inline bool same_directory(DirId a, DirId b)
{
    return a.volume == b.volume && a.file == b.file;
}

// Some network and user-space file systems give every directory the id 0:
// such a directory cannot be recognised when met again.
inline bool identified(DirId id)
{
    return id.file != 0;
}

// Every open, listing and read below reports why it failed as an errno
// value in *error (on Windows, errors with no errno counterpart keep their
// own code; error_message names them all), so that the caller can tell a
// shortage of descriptors (EMFILE, ENFILE: try again once one is given
// back) and an entry that is missing or not accessible from storage that
// failed.

// Opens the root, and identifies it in *id; null on failure.
DirListing* open_root(const RootDir& root, DirId* id, int* error);

// Opens the subdirectory that read_entry has just returned from dir, and
// identifies it in *id; null when it cannot be listed.
DirListing* open_subdirectory(DirListing* dir, const DirEntry& entry, DirId* id, int* error);

// Next entry in listing order, "." and ".." left out; false at the end of
// the listing (*error 0) or when the listing failed (*error set). A
// released listing must be taken up again first.
bool read_entry(DirListing* dir, DirEntry* entry, int* error);

// Whether the listing holds an operating-system descriptor (or handle).
bool holds_descriptor(const DirListing* dir);

// Gives up the listing's descriptor while deeper listings are walked: what
// remains of the listing is read into memory, and a failure met on the way
// is kept for read_entry to report after the entries before it. Nothing of
// it may be in a reader's hands meanwhile.
void release_listing(DirListing* dir);

// Whether a released listing must be taken up again before the walk goes on
// in it: it has entries left, and they are opened through its descriptor.
bool needs_take_up(const DirListing* dir);

// Makes a released listing usable again: through the ".." of child, a
// subdirectory of it that still holds its descriptor (may be null), or else
// by opening it again from its nearest ancestor that holds one. Its
// ancestors must still be open listings. It must be the same directory as
// before: if the tree changed meanwhile, false with *error ESTALE, and what
// remains of it cannot be opened.
bool take_up_listing(DirListing* dir, const DirListing* child, int* error);

void close_listing(DirListing* dir);

// A file as a reader thread opens it: its listing and its name in the
// platform's own form (on Windows the UTF-16 path). Prepared by the walk;
// the listing must stay open, and not be released, until the read is done.
struct FileSpec {
    const DirListing* dir;
    std::string name;
};

// Prepares the file that read_entry has just returned from dir.
void prepare_file(DirListing* dir, const DirEntry& entry, FileSpec* file);

// What reading the start of a file found.
struct FileHead {
    std::size_t got = 0;    // bytes read from its start
    std::uint64_t size = 0; // its size in bytes
    int error = 0;          // why it could not be opened, or its size or bytes read
    bool waited = false;    // the read waited for the storage (set by the caller)
    double seconds = 0;     // how long the read took (set by the caller)
    double ended = 0;       // when it ended, on the readers' clock (set by the caller)
};

// Reads up to n bytes from the start of a regular file and takes its size.
// False when it cannot be opened or is not a regular file; a short file is
// the caller's to judge, and so is a failure after the open (out->error). With `random`, the
// storage is asked for these bytes alone, not for what usually follows them: a recording's sound is
// never read, and on a card or a share the bytes are what cost. Safe on
// any thread.
bool read_file_head(const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                    FileHead* out);

// How many processors this process may run on: on Linux and Windows those
// of its affinity mask, elsewhere those online.
unsigned processor_count();

// Processor time, all programs counted: busy and in all, in seconds since
// some fixed point. On Linux, of the processors this process may run on;
// on Windows, of the whole machine. Elsewhere `all` is 0 and `busy` this
// process's own time.
struct ProcessorTimes {
    double busy;
    double all;
};
ProcessorTimes processor_times();

// A steady clock, in seconds.
double wall_seconds();

// How many times this thread has given up its processor to wait (for the
// storage, a lock, a sleep), not counting the times it was preempted.
// False where the system does not say.
bool thread_waits(std::uint64_t* waits);

// How many descriptors the process may have open, after raising its own
// limit towards wanted where the system allows.
int descriptor_limit(int wanted);

// The system's words for an error reported above.
const char* error_message(int error);

// Interruption: from now on Ctrl-C, and on POSIX SIGTERM and SIGHUP, on
// Windows Ctrl-Break and the console closing, only set a flag (those a
// POSIX parent left ignored stay ignored), and a second ends the process
// at once. interrupted() reads the flag; end_interrupted() ends the
// process as a program so stopped ends, so that its caller sees that.
void catch_interruptions();
bool interrupted();
[[noreturn]] void end_interrupted();
