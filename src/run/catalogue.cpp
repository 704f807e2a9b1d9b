#include "run/catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
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

// A link or mount that leads back to a directory on the walk path would
// make the walk endless.
static bool on_walk_path(const std::vector<Frame>& stack, DirId id)
{
    return std::any_of(stack.begin(), stack.end(),
                       [id](const Frame& f) { return same_directory(f.id, id); });
}

// Iterative rather than recursive, so that the depth of the tree is limited
// by memory, not by the stack.
int scan_directory(const std::string& dir, std::FILE* out, std::FILE* progress, int* error)
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
    std::vector<Frame> stack{{root, listing_id(root), path.size()}};
    int count = 0;
    while (!stack.empty()) {
        Frame& top = stack.back();
        DirEntry entry;
        if (!read_entry(top.dir, &entry)) {
            close_listing(top.dir);
            stack.pop_back();
            if (!stack.empty())
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
            if (sub && !on_walk_path(stack, listing_id(sub))) {
                stack.push_back({sub, listing_id(sub), path.size()});
                continue;
            }
            if (sub)
                close_listing(sub);
            std::fputc('.', progress);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name)) {
            count += catalogue_recording(out, ref);
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
    std::fputs(COLUMN_HEADER_ROW, stdout);
    std::time_t start = std::time(nullptr);
    int count = scan_directory(root, stdout, stderr, &error);
    std::time_t end = std::time(nullptr);

    int write_error = 0;
    if (std::fflush(stdout) != 0)
        write_error = errno ? errno : EIO;
    else if (std::ferror(stdout))
        write_error = EIO;

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
