// POSIX: listings are directory descriptors, and every open is relative to
// the listing that holds the name, so paths of any length and depth work
// and the kernel never resolves the full path again.
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/shared.h"

const char PATH_SEPARATOR = '/';
const char LINE_END[] = "\n";

bool ends_in_separator(const std::string& path)
{
    return !path.empty() && path.back() == PATH_SEPARATOR;
}

void set_raw_output(std::FILE* out)
{
    std::setvbuf(out, nullptr, _IONBF, 0);
}

bool is_terminal(std::FILE* stream)
{
    return isatty(fileno(stream)) == 1;
}

struct DirListing {
    DirListing* parent; // while the walk is in it; not to be followed once it has left
    std::string name;   // the root path as given, or the name within parent
    DirId id;
    DIR* stream;        // null once released
    int fd;             // -1 while released
    SavedEntries saved; // kind: the entry's d_type
};

static const int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC;
static const int READ_TRIES = 4; // of a read the storage answers with EINTR

static DirId id_of(const struct stat& st)
{
    return DirId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// Takes ownership of fd.
static DirListing* make_listing(DirListing* parent, const char* name, int fd, DirId* id, int* error)
{
    struct stat st;
    DIR* stream = fstat(fd, &st) == 0 ? fdopendir(fd) : nullptr;
    if (!stream) {
        *error = errno;
        close(fd);
        return nullptr;
    }
    *id = id_of(st);
    return new DirListing{parent, name, *id, stream, fd, {}};
}

bool holds_descriptor(const DirListing* dir)
{
    return dir->fd >= 0;
}

bool has_live_listing(const DirListing* dir)
{
    return dir->stream != nullptr;
}

// readdir says nothing but null at the end and on a failure alike: only
// errno, cleared first, tells them apart.
bool next_live_entry(DirListing* dir, RawEntry* entry, int* error)
{
    const struct dirent* e;
    do {
        errno = 0;
        e = readdir(dir->stream);
    } while (e && is_self_or_parent(e->d_name));
    if (!e) {
        *error = errno;
        return false;
    }
    *entry = {e->d_name, std::strlen(e->d_name) + 1, e->d_type};
    return true;
}

// A released listing is taken up again, by its descriptor alone, when it
// is walked on.
void give_up_descriptor(DirListing* dir)
{
    if (dir->stream)
        closedir(dir->stream);
    else if (dir->fd >= 0)
        close(dir->fd);
    dir->stream = nullptr;
    dir->fd = -1;
}

SavedEntries& saved_entries(DirListing* dir)
{
    return dir->saved;
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
    return dir->fd < 0 && has_saved(dir->saved);
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
    // Rows name the directory by its path; it is opened as ".", since a
    // path longer than PATH_MAX, which getcwd may give, cannot be opened.
    root->shown = buf;
    root->native = ".";
    return true;
}

DirListing* open_root(const RootDir& root, DirId* id, int* error)
{
    int fd = open(root.native.c_str(), DIR_FLAGS);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return make_listing(nullptr, root.native.c_str(), fd, id, error);
}

DirListing* open_subdirectory(DirListing* dir, const DirEntry& entry, DirId* id, int* error)
{
    int fd = openat(dir->fd, entry.name, DIR_FLAGS);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    return make_listing(dir, entry.name, fd, id, error);
}

static EntryType type_of(mode_t mode)
{
    if (S_ISDIR(mode))
        return ENTRY_DIRECTORY;
    return S_ISREG(mode) ? ENTRY_FILE : ENTRY_OTHER;
}

// d_type saves a stat for nearly every entry; links, and file systems that
// do not fill it in, need one, and links are followed.
static EntryType classify(DirListing* dir, const char* name, unsigned d_type, DirEntry* entry)
{
    if (d_type != DT_LNK && d_type != DT_UNKNOWN)
        return d_type == DT_DIR ? ENTRY_DIRECTORY : d_type == DT_REG ? ENTRY_FILE : ENTRY_OTHER;
    struct stat st;
    int fd = dir->fd;
    if (d_type == DT_UNKNOWN) {
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            entry->error = errno;
            return ENTRY_OTHER;
        }
        if (!S_ISLNK(st.st_mode))
            return type_of(st.st_mode);
    }
    entry->link = true;
    if (fstatat(fd, name, &st, 0) != 0) {
        // A dangling link is missing, as is one whose target has a name too
        // long to exist; a share gone is not.
        entry->error = errno == ENAMETOOLONG ? ENOENT : errno;
        return ENTRY_OTHER;
    }
    return type_of(st.st_mode);
}

bool read_entry(DirListing* dir, DirEntry* entry, int* error)
{
    RawEntry raw;
    if (!next_raw_entry(dir, &raw, error))
        return false;
    entry->name = static_cast<const char*>(raw.name);
    entry->native = raw.name;
    entry->link = false;
    entry->error = 0;
    entry->type = classify(dir, entry->name, raw.kind, entry);
    return true;
}

void close_listing(DirListing* dir)
{
    give_up_descriptor(dir);
    delete dir;
}

void prepare_file(DirListing* dir, const DirEntry& entry, FileSpec* file)
{
    file->dir = dir;
    file->name.assign(entry.name);
}

bool read_file_head(const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                    FileHead* out)
{
    // O_NONBLOCK: should the name have become a pipe since it was listed,
    // the open must not wait for a writer. It refuses a file on which a
    // file server holds a lease for a client, though (a pipe never is
    // refused so): that open waits for the lease to be given up.
    const int flags = O_RDONLY | O_NOCTTY | O_CLOEXEC;
    int fd = openat(file.dir->fd, file.name.c_str(), flags | O_NONBLOCK);
    if (fd < 0 && errno == EWOULDBLOCK)
        fd = openat(file.dir->fd, file.name.c_str(), flags);
    if (fd < 0) {
        out->error = errno;
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0)
        out->error = errno;
    bool regular = !out->error && S_ISREG(st.st_mode);
    if (regular && random) // else the kernel reads ahead 16 KiB and more
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    out->size = regular ? static_cast<std::uint64_t>(st.st_size) : 0;
    out->got =
        read_up_to(head, head_bytes(n, out->size), [&](unsigned char* buf, std::size_t wanted) {
            // Our handlers restart system calls, so an EINTR is the storage's
            // answer, which a file system in user space may give for ever:
            // tried a few times, then the read's failure.
            ssize_t r;
            for (int tries = 1; (r = read(fd, buf, wanted)) < 0 && errno == EINTR &&
                                tries < READ_TRIES && !interrupted();
                 tries++) {
            }
            if (r < 0)
                out->error = errno;
            return static_cast<long long>(r);
        });
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

static double seconds(const struct timeval& t)
{
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

static ProcessorTimes own_processor_time()
{
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return {0, 0};
    return {seconds(usage.ru_utime) + seconds(usage.ru_stime), 0};
}

#ifdef __linux__
// The kernel's counts for each processor ("cpuN user nice system idle
// iowait irq softirq steal ..."), in clock ticks, summed over the
// processors this process may run on: another program's work on them
// leaves the catalogue as little room as its own.
static bool add_proc_stat(const char* text, const cpu_set_t& allowed, ProcessorTimes* times)
{
    const double tick = 1.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    bool any = false;
    for (const char* line = text; std::strncmp(line, "cpu", 3) == 0;) {
        char* p = const_cast<char*>(line + 3);
        bool each = *p >= '0' && *p <= '9'; // not the first line, the whole machine's
        unsigned long cpu = each ? std::strtoul(p, &p, 10) : 0;
        unsigned long long v[8] = {};
        for (unsigned long long& field : v)
            field = std::strtoull(p, &p, 10);
        if (each && cpu < CPU_SETSIZE && CPU_ISSET(cpu, &allowed)) {
            double idle = static_cast<double>(v[3] + v[4]) * tick;
            double busy = static_cast<double>(v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) * tick;
            times->busy += busy;
            times->all += busy + idle;
            any = true;
        }
        const char* end = std::strchr(line, '\n');
        if (!end)
            break;
        line = end + 1;
    }
    return any;
}
#endif

ProcessorTimes processor_times()
{
#ifdef __linux__
    cpu_set_t allowed;
    int fd = open("/proc/stat", O_RDONLY | O_CLOEXEC);
    if (fd >= 0 && sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        std::string text(4096, '\0');
        std::size_t got = 0;
        for (ssize_t r; (r = read(fd, &text[got], text.size() - got - 1)) > 0;) {
            got += static_cast<std::size_t>(r);
            if (got + 1 == text.size())
                text.resize(2 * text.size());
        }
        text.resize(got);
        close(fd);
        ProcessorTimes times{0, 0};
        if (add_proc_stat(text.c_str(), allowed, &times))
            return times;
    } else if (fd >= 0) {
        close(fd);
    }
#endif
    return own_processor_time();
}

bool thread_waits([[maybe_unused]] std::uint64_t* waits)
{
#ifdef RUSAGE_THREAD
    struct rusage usage;
    if (getrusage(RUSAGE_THREAD, &usage) == 0) {
        *waits = static_cast<std::uint64_t>(usage.ru_nvcsw);
        return true;
    }
#endif
    return false;
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

const char* error_message(int error)
{
    return std::strerror(error);
}

// Interruption

static void on_interruption(int signal)
{
    if (!note_interruption(signal)) { // a second: the process ends at once
        std::signal(signal, SIG_DFL);
        std::raise(signal);
    }
}

void catch_interruptions()
{
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction now, before;
        std::memset(&now, 0, sizeof now);
        now.sa_handler = on_interruption;
        now.sa_flags = SA_RESTART; // system calls go on as before
        sigemptyset(&now.sa_mask);
        // A program started with a signal ignored (nohup, a background job)
        // leaves it ignored.
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            sigaction(signal, &now, nullptr);
    }
}

// By the signal itself, with its default action, so that a shell sees the
// program was interrupted (status 128 + N) and stops a script too.
void end_interrupted()
{
    int signal = interruption();
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    // cppcheck-suppress unreachableCode
    std::_Exit(128 + signal); // should the signal not end it after all
}
