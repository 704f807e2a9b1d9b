// The least work any catalogue of a tree must do: list every directory and,
// for every file whose name ends in .au, open it, take its size, read its
// 320-byte header and close it. Nothing is decoded or written. Timing the
// catalogue against this shows what walking, decoding and formatting add.
//
//   syscall_floor ROOT        one thread does everything
//   syscall_floor -t T ROOT   one thread lists, T threads open and read, in
//                             no particular order: the floor for any
//                             implementation that reads in parallel
//   syscall_floor -r ...      besides, advise random access to each file
//                             between its open and its read
//
// On a file the kernel has not seen, a 320-byte read starts the readahead:
// 16 KiB from the disk on ext4, and a FUSE read request of that size. If the
// recording is dense, all of that is sound nobody reads. POSIX_FADV_RANDOM
// turns the readahead off for the descriptor, so -r is the floor for a
// catalogue that asks for the header alone.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

static long long files, bytes_read;
static bool random_access;

// Jobs for the reader threads; directory descriptors stay open to the end.
static std::mutex mutex;
static std::condition_variable ready;
static std::deque<std::pair<int, std::string>> jobs;
static bool listed;

static bool is_candidate(const char* name)
{
    size_t n = std::strlen(name);
    return n >= 3 && name[n - 3] == '.' && (name[n - 2] | 0x20) == 'a' &&
           (name[n - 1] | 0x20) == 'u';
}

static int read_head(int dir_fd, const char* name)
{
    int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    if (random_access)
        posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    unsigned char head[320];
    struct stat st;
    int ok = fstat(fd, &st) == 0 && read(fd, head, sizeof head) == sizeof head;
    close(fd);
    return ok ? 1 + head[7] : 0; // keeps the read from being optimised away
}

static void walk(int dir_fd, bool threaded)
{
    int jobs_fd = threaded ? dup(dir_fd) : dir_fd; // stays open for the readers
    DIR* dir = fdopendir(dir_fd);
    if (!dir)
        return;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_type == DT_DIR) {
            if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
                continue;
            int fd = openat(dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (fd >= 0)
                walk(fd, threaded);
        } else if (e->d_type == DT_REG && is_candidate(e->d_name)) {
            if (!threaded) {
                int r = read_head(dirfd(dir), e->d_name);
                files += r != 0;
                bytes_read += r;
                continue;
            }
            std::lock_guard<std::mutex> lock(mutex);
            jobs.emplace_back(jobs_fd, e->d_name);
            ready.notify_one();
        }
    }
    closedir(dir);
}

static void reader()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        ready.wait(lock, [] { return !jobs.empty() || listed; });
        if (jobs.empty())
            return;
        std::pair<int, std::string> job = std::move(jobs.front());
        jobs.pop_front();
        lock.unlock();
        int r = read_head(job.first, job.second.c_str());
        lock.lock();
        files += r != 0;
        bytes_read += r;
    }
}

int main(int argc, char** argv)
{
    int threads = 0;
    for (int opt; (opt = getopt(argc, argv, "rt:")) != -1;) {
        if (opt == 'r') {
            random_access = true;
        } else if (opt == 't') {
            threads = std::atoi(optarg);
        } else {
            std::fprintf(stderr, "usage: syscall_floor [-t THREADS] [-r] [ROOT]\n");
            return 2;
        }
    }
    int fd = open(optind < argc ? argv[optind] : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("syscall_floor");
        return 1;
    }
    if (threads > 0) { // every directory stays open
        rlimit lim;
        getrlimit(RLIMIT_NOFILE, &lim);
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    std::vector<std::thread> pool;
    for (int i = 0; i < threads; i++)
        pool.emplace_back(reader);
    walk(fd, threads > 0);
    {
        std::lock_guard<std::mutex> lock(mutex);
        listed = true;
    }
    ready.notify_all();
    for (std::thread& t : pool)
        t.join();
    std::fprintf(stderr, "%lld files\n", files);
    return bytes_read < 0;
}
