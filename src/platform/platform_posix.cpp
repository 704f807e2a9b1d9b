// POSIX: listings are directory descriptors, and every open is relative to
// the listing that holds the name, so paths of any length and depth work
// and the kernel never resolves the full path again.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const char PATH_SEPARATOR = '/';

struct SavedEntry {
    std::size_t name_offset;
    unsigned char d_type;
};

struct DirListing {
    DirListing* parent; // while the walk is in it; not to be followed once it has left
    std::string name;   // the root path as given, or the name within parent
    DirId id;
    DIR* stream; // null once released
    int fd;      // -1 while released
    std::string saved_names;
    std::vector<SavedEntry> saved;
    std::size_t next_saved;
};

static const int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;

static DirId id_of(const struct stat& st)
{
    return DirId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Takes ownership of fd.
static DirListing* make_listing(DirListing* parent, const char* name, int fd, int* error)
{
    struct stat st;
    DIR* stream = fstat(fd, &st) == 0 ? fdopendir(fd) : nullptr;
    if (!stream) {
        *error = errno;
        close(fd);
        return nullptr;
    }
    return new DirListing{parent, name, id_of(st), stream, fd, {}, {}, 0};
}

bool holds_descriptor(const DirListing* dir)
{
    return dir->fd >= 0;
}

// A released listing reads its remaining entries into memory and gives up
// its descriptor; it is taken up again when it is walked on.
void release_listing(DirListing* dir)
{
    if (dir->stream) {
        while (const struct dirent* e = readdir(dir->stream)) {
            dir->saved.push_back({dir->saved_names.size(), e->d_type});
            dir->saved_names.append(e->d_name).push_back('\0');
        }
        closedir(dir->stream);
        dir->stream = nullptr;
    } else if (dir->fd >= 0) {
        close(dir->fd);
    }
    dir->fd = -1;
}

static bool is_directory(int fd, DirId id)
{
    struct stat st;
    return fstat(fd, &st) == 0 && same_directory(id_of(st), id);
}

// Opens a released listing again by walking down from its nearest ancestor
// that still has a descriptor, or from the root path.
static int reopen(const DirListing* dir, int* error)
{
    std::vector<const std::string*> names; // up to the nearest ancestor with a descriptor
    const DirListing* from = dir;
    while (from && from->fd < 0) {
        names.push_back(&from->name);
        from = from->parent;
    }
    int fd;
    if (from) {
        fd = from->fd;
    } else {
        fd = open(names.back()->c_str(), DIR_FLAGS);
        names.pop_back();
    }
    for (auto it = names.rbegin(); it != names.rend() && fd >= 0; ++it) {
        int next = openat(fd, (*it)->c_str(), DIR_FLAGS);
        if (!from || fd != from->fd)
            close(fd);
        fd = next;
        from = nullptr;
    }
    if (fd < 0)
        *error = errno;
    return fd;
}

bool needs_take_up(const DirListing* dir)
{
    return dir->fd < 0 && dir->next_saved < dir->saved.size();
}

bool take_up_listing(DirListing* dir, const DirListing* child, int* error)
{
    if (!needs_take_up(dir))
        return true;
    // The ".." of the subdirectory just left is the cheapest way back, when
    // it really is this directory (it is not after a link).
    int fd = child && child->fd >= 0 ? openat(child->fd, "..", DIR_FLAGS) : -1;
    if (fd >= 0 && !is_directory(fd, dir->id)) {
        close(fd);
        fd = -1;
    }
    if (fd < 0 && (fd = reopen(dir, error)) >= 0 && !is_directory(fd, dir->id)) {
        close(fd); // the tree changed meanwhile
        fd = -1;
        *error = ESTALE;
    }
    dir->fd = fd;
    return fd >= 0;
}

bool choose_root(int argc, char** argv, RootDir* root, int* error)
{
    if (argc >= 2) {
        root->shown = root->native = argv[1];
        return true;
    }
    std::string buf(256, '\0');
    while (!getcwd(&buf[0], buf.size())) {
        if (errno != ERANGE) {
            *error = errno;
            return false;
        }
        buf.resize(buf.size() * 2);
    }
    buf.resize(buf.find('\0'));
    root->shown = root->native = buf;
    return true;
}

DirListing* open_root(const RootDir& root, int* error)
{
    int fd = open(root.native.c_str(), DIR_FLAGS);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return make_listing(nullptr, root.native.c_str(), fd, error);
}

DirListing* open_subdirectory(DirListing* dir, const DirEntry& entry, int* error)
{
    int fd = openat(dir->fd, entry.name, DIR_FLAGS);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return make_listing(dir, entry.name, fd, error);
}

DirId listing_id(const DirListing* dir)
{
    return dir->id;
}

static EntryType type_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return ENTRY_DIRECTORY;
    return S_ISREG(mode) ? ENTRY_FILE : ENTRY_OTHER;
}

// d_type saves a stat for nearly every entry; links, and file systems that
// do not fill it in, need one, and links are followed.
static EntryType classify(DirListing* dir, const char* name, unsigned char d_type, bool* link)
{
    if (d_type != DT_LNK && d_type != DT_UNKNOWN)
        return d_type == DT_DIR ? ENTRY_DIRECTORY : d_type == DT_REG ? ENTRY_FILE : ENTRY_OTHER;
    struct stat st;
    int fd = dir->fd;
    if (d_type == DT_UNKNOWN) {
        if (fd < 0 || fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return ENTRY_OTHER;
        if (!S_ISLNK(st.st_mode))
            return type_of(st.st_mode);
    }
    *link = true;
    if (fd < 0 || fstatat(fd, name, &st, 0) != 0)
        return ENTRY_OTHER;
    return type_of(st.st_mode);
}

bool read_entry(DirListing* dir, DirEntry* entry)
{
    const char* name;
    unsigned char d_type;
    if (dir->stream) {
        const struct dirent* e = readdir(dir->stream);
        if (!e)
            return false;
        name = e->d_name;
        d_type = e->d_type;
    } else {
        if (dir->next_saved == dir->saved.size())
            return false;
        const SavedEntry& s = dir->saved[dir->next_saved++];
        name = dir->saved_names.c_str() + s.name_offset;
        d_type = s.d_type;
    }
    entry->name = name;
    entry->link = false;
    entry->type = classify(dir, name, d_type, &entry->link);
    return true;
}

void close_listing(DirListing* dir)
{
    if (dir->stream)
        closedir(dir->stream);
    else if (dir->fd >= 0)
        close(dir->fd);
    delete dir;
}

void prepare_file(DirListing* dir, const DirEntry& entry, FileSpec* file)
{
    file->dir = dir;
    file->name.assign(entry.name);
}

bool read_file_head(const FileSpec& file, unsigned char* head, std::size_t n, std::size_t* got,
                    std::uint64_t* size, int* error)
{
    // O_NONBLOCK: should the name have become a pipe since it was listed,
    // the open must not wait for a writer.
    int fd = openat(file.dir->fd, file.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    *got = 0;
    while (regular && *got < n) {
        ssize_t r = read(fd, head + *got, n - *got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        *got += static_cast<std::size_t>(r);
    }
    *size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
    close(fd);
    return regular;
}

unsigned processor_count()
{
#ifdef __linux__
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

double processor_seconds()
{
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return 0;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int descriptor_limit(int wanted)
{
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0)
        return wanted;
    rlim_t want = static_cast<rlim_t>(wanted);
    if (lim.rlim_cur < want) {
        rlim_t raised = std::min(want, lim.rlim_max);
        struct rlimit more = {raised, lim.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &more) == 0)
            lim.rlim_cur = raised;
    }
    return static_cast<int>(std::min(lim.rlim_cur, want));
}
