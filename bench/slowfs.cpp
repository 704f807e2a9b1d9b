// A read-only passthrough that waits, as a share or a card in a slow reader
// would, in every lookup (getattr, readlink), every batch of a listing, every
// open of a file or directory and every read.
//
//   slowfs [--delay-us=D] [--bandwidth=B] [--no-types] [--no-ids] [--one-trip]
//          [--fail=PATH:ERRNO]... [--fail-after=N] [--hold=PATH]...
//          [--unlink-on-opendir=DIR:LINK] [-f] [-o OPT] SOURCE MOUNTPOINT
//
// D defaults to 1000. With B (bytes per second; 0, the default, is no
// limit) the bytes of every read also cross one link shared by all
// requests, one read after another, as over a network or a card reader's
// bus. --no-types leaves every entry's type unknown in listings, as on file
// systems that keep no types in their directories. --no-ids gives every
// file and directory the inode number 0, as file systems that keep no ids
// do (Wine then takes every directory, having its parent's number, for a
// mount point). --one-trip serves a
// listing in one round trip, as SMB and NFS (READDIRPLUS) serve a directory
// of a hundred entries: opening a directory does not wait, and only the
// first batch of its listing does; the entries' lookups still wait each.
// -f stays in the foreground; fusermount3 -u MOUNTPOINT ends it.
//
// The rest make storage fail, for tests of a client that must say so. PATH
// is relative to SOURCE (d1/e, d2/x.au; . is the root) and must be there.
//
// --fail=PATH:ERRNO fails every listing batch of a directory, or every read
// of a file, with ERRNO (1 to 511), and the client's getdents64 or read
// fails with it as it is (with 4, EINTR, cat and Python try again for
// ever). Its lookup and open still succeed, so it shows in its parent's
// listing.
//
// --fail-after=N fails every request after the first N, whoever makes it
// (lookups, opens of files and directories, listing batches, reads), with
// ENOTCONN, as a share that went away. The client's stat, open, getdents64
// and read then fail with ENOTCONN too, but for what the kernel still
// holds: the attributes of what was looked up, the pages of what was read.
//
// --hold=PATH makes every read of a file wait until the connection ends.
// The client's open file keeps the mount busy: fusermount3 -u fails
// (EBUSY) until the client has gone. A read through the page cache gives
// way to a fatal signal (SIGKILL, or a SIGINT neither handled nor ignored);
// one with O_DIRECT gives way to none. Writing 1 to
// /sys/fs/fuse/connections/N/abort (fusectl mounted there; N the minor of
// the mount's device in /proc/self/mountinfo) ends every held read, the
// client's with ENOTCONN (ECONNABORTED with O_DIRECT), and slowfs with
// them, and fusermount3 -u then takes the dead mount away. Ending slowfs
// (SIGTERM) does both. fusermount3 -uz detaches the mount at once but
// leaves a blocked client blocked.
//
// --unlink-on-opendir=DIR:LINK removes LINK, a path outside the mount,
// as DIR is opened and before the open is answered: the client's next
// look through LINK finds nothing, as a drive letter goes with a card
// reader unplugged while the client walks.
#define FUSE_USE_VERSION 35
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <linux/fuse.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

static struct {
    unsigned delay_us = 1000;
    unsigned long long bandwidth = 0;
    int no_types = 0;
    int no_ids = 0;
    int one_trip = 0;
    unsigned long long fail_after = ULLONG_MAX;
    const char* source = nullptr;
} options;
static std::string unlink_dir, unlink_link; // of --unlink-on-opendir
static int source_fd = -1;

static const char* relative(const char* path)
{
    return path[1] ? path + 1 : ".";
}

// PATH of --fail and --hold, keyed as relative() gives libfuse's paths, to
// the errno it fails with, or to held.
static constexpr int held = -1;
static std::map<std::string, int> faults;

static int fault(const char* path)
{
    auto it = faults.find(relative(path));
    return it == faults.end() ? 0 : it->second;
}

// Requests come in from many threads; once N have been, the share is gone.
static std::atomic<unsigned long long> requests{0};

static bool share_gone()
{
    return requests.fetch_add(1, std::memory_order_relaxed) >= options.fail_after;
}

static void wait_for_storage()
{
    std::this_thread::sleep_for(std::chrono::microseconds(options.delay_us));
}

// The link is busy until link_free. Each read books the time its bytes take
// from when the link falls free (or from now, if it is free already) and
// waits until its booking ends, so readers in parallel share the bandwidth
// rather than each having all of it. The bytes booked are those the read
// returns: the kernel asks for whole pages, and for its readahead too, so a
// 320-byte read by a client may cost 4 KiB, or 16 KiB and more on a file it
// has not been told is read at random.
static std::mutex link_mutex;
static std::chrono::steady_clock::time_point link_free;

static void wait_for_link(size_t bytes)
{
    using namespace std::chrono;
    if (options.bandwidth == 0 || bytes == 0)
        return;
    auto takes = duration_cast<steady_clock::duration>(
        duration<double>(static_cast<double>(bytes) / options.bandwidth));
    steady_clock::time_point done;
    {
        std::lock_guard<std::mutex> lock(link_mutex);
        link_free = std::max(link_free, steady_clock::now()) + takes;
        done = link_free;
    }
    std::this_thread::sleep_until(done);
}

// libfuse 3.14 never tells the kernel that lookups in one directory may run
// in parallel, so the kernel lets one at a time through, and with a delay in
// each that would set the pace whatever the client does. The reply to INIT,
// being built as init() runs, is the first message sent through this.
static std::atomic<bool> init_replied{false};

static ssize_t send_reply(int fd, iovec* iov, int count, void*)
{
    if (!init_replied.exchange(true) && count > 1 && iov[1].iov_len == sizeof(fuse_init_out))
        static_cast<fuse_init_out*>(iov[1].iov_base)->flags |= FUSE_PARALLEL_DIROPS;
    return writev(fd, iov, count);
}

static void* slow_init(fuse_conn_info* conn, fuse_config* cfg)
{
    cfg->use_ino = 1;
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 86400;
    conn->max_background = 512; // reads in flight at once; the kernel allows 12 by default
    fuse_session* se = fuse_get_session(fuse_get_context()->fuse);
    static const fuse_custom_io io = {
        send_reply, [](int fd, void* buf, size_t size, void*) { return read(fd, buf, size); },
        nullptr, nullptr};
    fuse_session_custom_io(se, &io, fuse_session_fd(se));
    return nullptr;
}

// Until the kernel lets go of the connection (an unmount or an abort), which
// poll sees as an error on the device. libfuse waits for every request
// thread before it returns, so a read held past that would keep slowfs from
// ending; a signal telling it to stop wakes nobody here, hence the timeout.
static int hold_until_unmounted()
{
    fuse_session* se = fuse_get_session(fuse_get_context()->fuse);
    pollfd device = {fuse_session_fd(se), 0, 0};
    while (!fuse_session_exited(se))
        if (poll(&device, 1, 100) > 0)
            break;
    return -EIO;
}

static int slow_getattr(const char* path, struct stat* st, fuse_file_info*)
{
    if (share_gone())
        return -ENOTCONN;
    wait_for_storage();
    if (fstatat(source_fd, relative(path), st, AT_SYMLINK_NOFOLLOW) != 0)
        return -errno;
    if (options.no_ids)
        st->st_ino = 0;
    return 0;
}

static int slow_readlink(const char* path, char* buf, size_t size)
{
    if (share_gone())
        return -ENOTCONN;
    wait_for_storage();
    ssize_t n = readlinkat(source_fd, relative(path), buf, size - 1);
    if (n < 0)
        return -errno;
    buf[n] = '\0';
    return 0;
}

static int slow_open(const char* path, fuse_file_info* fi)
{
    if (share_gone())
        return -ENOTCONN;
    wait_for_storage();
    if ((fi->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    int fd = openat(source_fd, relative(path), fi->flags & ~O_CREAT);
    if (fd < 0)
        return -errno;
    fi->fh = fd;
    return 0;
}

static int slow_read(const char* path, char* buf, size_t size, off_t offset, fuse_file_info* fi)
{
    if (share_gone())
        return -ENOTCONN;
    int err = fault(path);
    if (err == held)
        return hold_until_unmounted();
    wait_for_storage();
    if (err)
        return -err;
    ssize_t n = pread(fi->fh, buf, size, offset);
    if (n < 0)
        return -errno;
    wait_for_link(static_cast<size_t>(n));
    return static_cast<int>(n);
}

static int slow_opendir(const char* path, fuse_file_info* fi)
{
    if (share_gone())
        return -ENOTCONN;
    if (!options.one_trip)
        wait_for_storage();
    if (!unlink_link.empty() && unlink_dir == relative(path))
        unlink(unlink_link.c_str());
    int fd = openat(source_fd, relative(path), O_RDONLY | O_DIRECTORY);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!dir) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        return -err;
    }
    fi->fh = reinterpret_cast<uintptr_t>(dir);
    return 0;
}

// Entries go out with their offsets, so that libfuse calls this once for
// each batch the kernel asks for rather than once for the whole directory.
// In one trip the server sent them all with the first batch.
static int slow_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t offset,
                        fuse_file_info* fi, fuse_readdir_flags)
{
    if (share_gone())
        return -ENOTCONN;
    if (!options.one_trip || offset == 0)
        wait_for_storage();
    if (int err = fault(path))
        return -err;
    DIR* dir = reinterpret_cast<DIR*>(fi->fh);
    seekdir(dir, offset);
    while (dirent* e = readdir(dir)) {
        struct stat st = {};
        st.st_ino = e->d_ino;
        if (!options.no_types)
            st.st_mode = DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, e->d_off, fuse_fill_dir_flags(0)))
            break;
    }
    return 0;
}

enum { key_fail, key_fail_after, key_hold, key_unlink };

static const char usage[] =
    "usage: slowfs [--delay-us=D] [--bandwidth=B] [--no-types] [--no-ids] [--one-trip]\n"
    "              [--fail=PATH:ERRNO]... [--fail-after=N] [--hold=PATH]...\n"
    "              [--unlink-on-opendir=DIR:LINK] [-f] [-o OPT] SOURCE MOUNTPOINT\n";

static int bad_option(const char* arg, const char* why)
{
    std::fprintf(stderr, "slowfs: %s: %s\n", arg, why);
    return -1;
}

// Digits only, unlike strtoull, which takes a sign and leading blanks.
static bool number(const char* text, unsigned long long max, unsigned long long* value)
{
    if (!*text || std::strspn(text, "0123456789") != std::strlen(text))
        return false;
    errno = 0;
    *value = std::strtoull(text, nullptr, 10);
    return errno == 0 && *value <= max;
}

// A PATH as libfuse will spell it, so that fault() finds it: no slash at
// either end, no empty, . or .. part, but . alone for the root.
static bool plain(const std::string& path)
{
    if (path == ".")
        return true;
    size_t start = 0;
    for (;;) {
        size_t end = path.find('/', start);
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

static int take_option(void*, const char* arg, int key, fuse_args*)
{
    if (key == FUSE_OPT_KEY_NONOPT && !options.source) {
        options.source = arg;
        return 0;
    }
    const char* value = std::strchr(arg, '=');
    value = value ? value + 1 : arg;
    unsigned long long n = 0;
    if (key == key_fail_after) {
        if (!number(value, ULLONG_MAX, &n))
            return bad_option(arg, "N must be a number of requests");
        options.fail_after = n;
        return 0;
    }
    if (key == key_unlink) {
        const char* colon = std::strchr(value, ':');
        unlink_dir.assign(value, colon ? colon - value : 0);
        unlink_link = colon ? colon + 1 : "";
        if (!plain(unlink_dir) || unlink_link.empty())
            return bad_option(arg, "DIR must be relative to SOURCE, and LINK given");
        return 0;
    }
    if (key == key_fail || key == key_hold) {
        std::string path = value;
        int err = held;
        if (key == key_fail) {
            size_t colon = path.rfind(':');
            // The kernel takes no error from 512 up in a reply.
            if (colon == std::string::npos || !number(value + colon + 1, 511, &n) || n == 0)
                return bad_option(arg, "ERRNO must be a number from 1 to 511");
            path.erase(colon);
            err = static_cast<int>(n);
        }
        if (!plain(path))
            return bad_option(arg, "PATH must be relative to SOURCE, without . or .. parts");
        if (!faults.emplace(path, err).second)
            return bad_option(arg, "PATH is given more than once");
        return 0;
    }
    return 1; // the mount point and libfuse's own options
}

// Each PATH must be there, as what its option acts on: a file or, for
// --fail, a directory.
static bool faults_found()
{
    for (const auto& [path, err] : faults) {
        std::string arg =
            err == held ? "--hold=" + path : "--fail=" + path + ":" + std::to_string(err);
        struct stat st;
        if (fstatat(source_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            bad_option(arg.c_str(), std::strerror(errno));
            return false;
        }
        if (!S_ISREG(st.st_mode) && (err == held || !S_ISDIR(st.st_mode))) {
            bad_option(arg.c_str(), err == held ? "not a file" : "neither a file nor a directory");
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv)
{
    static const fuse_opt templates[] = {
        {"--delay-us=%u", offsetof(decltype(options), delay_us), 0},
        {"--bandwidth=%llu", offsetof(decltype(options), bandwidth), 0},
        {"--no-types", offsetof(decltype(options), no_types), 1},
        {"--no-ids", offsetof(decltype(options), no_ids), 1},
        {"--one-trip", offsetof(decltype(options), one_trip), 1},
        FUSE_OPT_KEY("--fail=", key_fail),
        FUSE_OPT_KEY("--fail-after=", key_fail_after),
        FUSE_OPT_KEY("--hold=", key_hold),
        FUSE_OPT_KEY("--unlink-on-opendir=", key_unlink),
        FUSE_OPT_END,
    };
    fuse_args args = FUSE_ARGS_INIT(argc, argv);
    if (fuse_opt_parse(&args, &options, templates, take_option) != 0 || !options.source) {
        std::fputs(usage, stderr);
        return 1;
    }
    source_fd = open(options.source, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (source_fd < 0) {
        std::perror(options.source);
        return 1;
    }
    if (!faults_found()) {
        std::fputs(usage, stderr);
        return 1;
    }
    // libfuse serves on at most 10 threads unless told otherwise, too few to
    // be anything but the bottleneck. The idle threads' limit only keeps
    // libfuse 3.14 from warning about its own default. The caller's options
    // come after and override these.
    fuse_opt_insert_arg(&args, 1, "-omax_threads=512,max_idle_threads=512,ro,fsname=slowfs");

    fuse_operations ops = {};
    ops.init = slow_init;
    ops.getattr = slow_getattr;
    ops.readlink = slow_readlink;
    ops.open = slow_open;
    ops.read = slow_read;
    ops.release = [](const char*, fuse_file_info* fi) { return close(fi->fh); };
    ops.opendir = slow_opendir;
    ops.readdir = slow_readdir;
    ops.releasedir = [](const char*, fuse_file_info* fi) {
        return closedir(reinterpret_cast<DIR*>(fi->fh));
    };
    int status = fuse_main(args.argc, args.argv, &ops, nullptr);
    fuse_opt_free_args(&args);
    return status;
}
