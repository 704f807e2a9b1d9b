#include "run/catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"
#include "recording/row.h"
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

// One directory on the current walk path.
struct Frame {
    DirListing* dir;
    DirId id;
    std::size_t path_len; // its path is path[0, path_len)
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

// Reads the candidate file and, when it is a recording, writes its row.
// Returns 1 when a row was written, 0 when the file was passed over.
static int catalogue_recording(std::FILE* out, const FileRef& file, int* write_error)
{
    unsigned char head[HEADER_SIZE];
    std::size_t got = 0;
    std::uint64_t size = 0;
    if (!read_file_head(file, head, sizeof head, &got, &size))
        return 0;
    std::optional<RecordingHeader> header = decode_recording(head, got, size);
    if (!header)
        return 0;
    errno = 0;
    if (write_catalogue_row(out, file.path, *header))
        return 1;
    *write_error = errno ? errno : EIO;
    return 0;
}

// Iterative rather than recursive, so that the depth of the tree is limited
// by memory, not by the stack. The walk stops at the first row that cannot
// be written.
int scan_directory(const std::string& dir, std::FILE* out, std::FILE* progress, int* error,
                   int* write_error)
{
    *error = 0;
    // An empty root would otherwise become the file system's root once
    // the separator is joined on.
    if (dir.empty()) {
        *error = ENOENT;
        return 0;
    }
    DirListing* root = open_root(dir, error);
    if (!root)
        return 0;

    std::string path = dir;
    if (path.back() == PATH_SEPARATOR)
        path.pop_back();
    Walk walk;
    walk.stack.push_back({root, listing_id(root), path.size()});
    walk.walked.insert(listing_id(root));
    int count = 0;
    while (!walk.stack.empty()) {
        Frame& top = walk.stack.back();
        DirEntry entry;
        if (*write_error || !read_entry(top.dir, &entry)) {
            close_listing(top.dir);
            walk.stack.pop_back();
            if (!walk.stack.empty() && !*write_error)
                std::fputc('.', progress);
            continue;
        }
        if (is_dot_or_dotdot(entry.name))
            continue;

        path.resize(top.path_len);
        path += PATH_SEPARATOR;
        path += entry.name;
        FileRef ref{top.dir, entry.name, path.c_str()};
        if (entry.type == ENTRY_DIRECTORY) {
            DirListing* sub = open_subdirectory(ref);
            if (sub && should_walk(walk, listing_id(sub), entry.link)) {
                walk.stack.push_back({sub, listing_id(sub), path.size()});
                continue;
            }
            if (sub)
                close_listing(sub);
            std::fputc('.', progress);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name)) {
            count += catalogue_recording(out, ref, write_error);
        }
    }
    return count;
}

int run_catalogue(int argc, char** argv)
{
    std::string root;
    int error = 0;
    if (argc >= 2) {
        root = argv[1];
    } else if (!current_directory(&root, &error)) {
        std::fprintf(stderr, "aucatalog: cannot determine the current directory: %s\n",
                     std::strerror(error));
        return 1;
    }

    // The catalogue is meant to be redirected to a file; a large buffer
    // keeps the number of writes far below the number of rows. The buffer
    // is given explicitly: some C libraries ignore the size without one.
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    int write_error = 0;
    errno = 0;
    if (std::fputs(COLUMN_HEADER_ROW, stdout) == EOF)
        write_error = errno ? errno : EIO;
    std::time_t start = std::time(nullptr);
    int count = scan_directory(root, stdout, stderr, &error, &write_error);
    std::time_t end = std::time(nullptr);
    if (std::fflush(stdout) != 0 && !write_error)
        write_error = errno ? errno : EIO;

    int status = 0;
    if (error) {
        std::fprintf(stderr, "aucatalog: %s: %s\n", root.c_str(), std::strerror(error));
        status = 1;
    } else {
        write_run_summary(stderr, count, start, end);
    }
    if (write_error) {
        std::fprintf(stderr, "aucatalog: error writing the catalogue: %s\n",
                     std::strerror(write_error));
        status = 1;
    }
    return status;
}
