#include "run/catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "run/readers.h"
#include "run/summary.h"

const char COLUMN_HEADER_ROW[] =
    "AUFile path,date,time,duration,alpha tag,type,tsys num,tsys type,tsys tag,site tag,"
    "tgid 1,tgid 2,rid 1,rid 2,freq 1,freq 2,sq mode,sq value,info,other\n";

bool has_au_suffix(const char* name)
{
    std::size_t n = std::strlen(name);
    return n >= 3 && name[n - 3] == '.' && (name[n - 2] | 0x20) == 'a' &&
           (name[n - 1] | 0x20) == 'u';
}

static bool is_dot_or_dotdot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Only the deepest listings of the walk keep their operating system's
// resources (on POSIX a descriptor each), so that a tree deeper than the
// open-files limit can still be walked.
static const std::size_t MAX_OPEN_LISTINGS = 32;

// One directory on the current walk path.
struct Frame {
    DirListing* dir;
    DirId id;
    std::size_t path_len;       // its path is path[0, path_len)
    std::uint64_t files_queued; // 1 + the place of its last file queued, or 0
};

struct DirIdHash {
    std::size_t operator()(DirId id) const
    {
        return std::hash<std::uint64_t>()(id.file ^ id.volume);
    }
};

struct DirIdEqual {
    bool operator()(DirId a, DirId b) const { return same_directory(a, b); }
};

struct Walk {
    std::vector<Frame> stack;
    // Every directory walked so far: memory grows with the directories,
    // never with the files.
    std::unordered_set<DirId, DirIdHash, DirIdEqual> walked;
    Readers* readers;
};

// A directory is not walked when it leads back onto the walk path (a link
// or mount that would make the walk endless). One reached through a link
// is walked only if no path has reached it before: links can lead to one
// directory by many paths, and a chain of levels with two links each would
// make the walk exponential. Real subdirectories are always walked.
static bool should_walk(Walk& walk, DirId id, bool link)
{
    bool on_walk_path = std::any_of(walk.stack.begin(), walk.stack.end(),
                                    [id](const Frame& f) { return same_directory(f.id, id); });
    bool first_time = walk.walked.insert(id).second;
    return !on_walk_path && (first_time || !link);
}

// A listing that gives up its resources must first see its files read.
static void push(Walk& walk, DirListing* dir, std::size_t path_len)
{
    walk.stack.push_back({dir, listing_id(dir), path_len, 0});
    if (walk.stack.size() > MAX_OPEN_LISTINGS) {
        const Frame& old = walk.stack[walk.stack.size() - 1 - MAX_OPEN_LISTINGS];
        if (old.files_queued)
            write_through(walk.readers, old.files_queued - 1);
        release_listing(old.dir);
    }
}

// Iterative rather than recursive, so that the depth of the tree is limited
// by memory, not by the stack. The walk lists; the readers read the files
// and write what they hold in the walk's order.
static void walk_tree(Walk& walk, std::string& path)
{
    FileSpec file;
    while (!walk.stack.empty() && !write_error(walk.readers)) {
        Frame& top = walk.stack.back();
        DirEntry entry;
        if (!read_entry(top.dir, &entry)) {
            DirListing* done = top.dir;
            walk.stack.pop_back();
            queue_end(walk.readers, done, !walk.stack.empty());
            continue;
        }
        if (is_dot_or_dotdot(entry.name))
            continue;

        path.resize(top.path_len);
        path += PATH_SEPARATOR;
        path += entry.name;
        if (entry.type == ENTRY_DIRECTORY) {
            DirListing* sub = open_subdirectory(top.dir, entry);
            if (sub && should_walk(walk, listing_id(sub), entry.link)) {
                push(walk, sub, path.size());
                continue;
            }
            if (sub)
                close_listing(sub);
            queue_end(walk.readers, nullptr, true);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name) &&
                   prepare_file(top.dir, entry, &file)) {
            top.files_queued = queue_file(walk.readers, file, path) + 1;
        }
    }
}

int scan_directory(const RootDir& dir, std::FILE* out, std::FILE* progress, int* error,
                   int* write_failure)
{
    *error = 0;
    // An empty root would otherwise become the file system's root once
    // the separator is joined on.
    if (dir.shown.empty()) {
        *error = ENOENT;
        return 0;
    }
    DirListing* root = open_root(dir, error);
    if (!root)
        return 0;

    std::string path = dir.shown;
    if (path.back() == PATH_SEPARATOR)
        path.pop_back();
    std::unique_ptr<Readers, StopReaders> readers = start_readers(out, progress);
    Walk walk;
    walk.readers = readers.get();
    walk.stack.push_back({root, listing_id(root), path.size(), 0});
    walk_tree(walk, path);
    int count = write_all(readers.get());
    *write_failure = write_error(readers.get());
    readers.reset();
    for (; !walk.stack.empty(); walk.stack.pop_back()) // left when a write failed
        close_listing(walk.stack.back().dir);
    return count;
}

int run_catalogue(int argc, char** argv)
{
    RootDir root;
    int error = 0;
    if (!choose_root(argc, argv, &root, &error)) {
        std::fprintf(stderr, "aucatalog: cannot determine the current directory: %s\n",
                     std::strerror(error));
        return 1;
    }

    // The catalogue is meant to be redirected to a file; a large buffer
    // keeps the number of writes far below the number of rows. The buffer
    // is given explicitly: some C libraries ignore the size without one.
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    int write_failure = 0;
    std::fputs(COLUMN_HEADER_ROW, stdout);
    std::time_t start = std::time(nullptr);
    int count = scan_directory(root, stdout, stderr, &error, &write_failure);
    std::time_t end = std::time(nullptr);
    errno = 0;
    if (std::fflush(stdout) != 0 && !write_failure)
        write_failure = errno ? errno : EIO;

    int status = 0;
    if (error) {
        std::fprintf(stderr, "aucatalog: %s: %s\n", root.shown.c_str(), std::strerror(error));
        status = 1;
    } else {
        write_run_summary(stderr, count, start, end);
    }
    if (write_failure) {
        std::fprintf(stderr, "aucatalog: error writing the catalogue: %s\n",
                     std::strerror(write_failure));
        status = 1;
    }
    return status;
}
