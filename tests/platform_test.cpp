// The platform layer, mostly on a real directory: files that change under
// the walk, a listing that gives up its descriptor part-way, short reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/shared.h"
#include "recording/header.h"

using namespace std::literals;

// A file may be gone, or a pipe, by the time it is read after the listing:
// it is passed over, and the open of a pipe does not wait for a writer.
TEST(Platform, FilesChangingUnderTheWalk)
{
    char dir[] = "/tmp/aucatalog-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    for (const char* name : {"kept.au", "removed.au", "piped.au"})
        std::ofstream(dir + "/"s + name) << std::string(HEADER_SIZE + 8000, 'x');
    DirId id;
    int error = 0;
    DirListing* listing = open_root({dir, dir}, &id, &error);
    ASSERT_TRUE(listing && unlink((dir + "/removed.au"s).c_str()) == 0 &&
                unlink((dir + "/piped.au"s).c_str()) == 0 &&
                mkfifo((dir + "/piped.au"s).c_str(), 0600) == 0);
    unsigned char head[HEADER_SIZE];
    for (auto [name, size] : {std::pair{"kept.au", 8320}, {"removed.au", -1}, {"piped.au", -1}}) {
        FileHead read;
        bool regular = read_file_head({listing, name}, head, sizeof head, true, &read);
        EXPECT_EQ(regular ? static_cast<int>(read.size) : -1, size) << name;
    }
    close_listing(listing);
    std::filesystem::remove_all(dir);
}

// A read may give less than asked (a pipe, some shares): the head is read
// again until whole, the file ends or a read fails.
TEST(Platform, ShortReadsReadAgain)
{
    const std::pair<std::size_t, std::string> cases[] = {
        {1, "0123456789"}, {3, "0123456789"}, {3, "01234"}, {0, "0123456789"}};
    for (const auto& c : cases) {
        const std::size_t chunk = c.first;
        const std::string& data = c.second;
        unsigned char head[8];
        std::size_t at = 0;
        std::size_t got = read_up_to(head, sizeof head, [&](unsigned char* buf, std::size_t n) {
            if (!chunk && at) // two bytes, then a failure
                return -1LL;
            std::size_t r = std::min({chunk ? chunk : 2, n, data.size() - at});
            std::copy_n(data.data() + at, r, buf);
            at += r;
            return static_cast<long long>(r);
        });
        EXPECT_EQ(std::string(head, head + got), data.substr(0, chunk ? 8 : 2)) << chunk;
    }
}

// A listing that gave up its descriptor, as did its parent, is opened again
// from the one above them (here descriptor 0, standard input being closed),
// not by the root's path, which is gone; and only if it is still there.
TEST(Platform, TakenUpFromDescriptorZero)
{
    char dir[] = "/tmp/aucatalog-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::filesystem::create_directories(dir + "/a/b"s);
    std::ofstream(dir + "/a/b/r.au"s) << std::string(HEADER_SIZE, 'x');
    auto open_sub = [](DirListing* parent, const char* name) {
        DirEntry entry;
        DirId id;
        int error = 0;
        while (read_entry(parent, &entry, &error) && entry.name != std::string(name)) {
        }
        return open_subdirectory(parent, entry, &id, &error);
    };
    int input = dup(0);
    close(0);
    DirId id;
    int error = 0;
    DirListing* root = open_root({dir, dir}, &id, &error);
    ASSERT_TRUE(root);
    DirListing* a = open_sub(root, "a");
    ASSERT_TRUE(a);
    DirListing* b = open_sub(a, "b");
    ASSERT_TRUE(b);
    release_listing(a);
    release_listing(b);
    std::string moved = dir + "-moved"s;
    ASSERT_EQ(rename(dir, moved.c_str()), 0);
    EXPECT_TRUE(take_up_listing(b, nullptr, &error)) << error;
    FileHead read;
    unsigned char head[HEADER_SIZE];
    EXPECT_TRUE(read_file_head({b, "r.au"}, head, sizeof head, false, &read));
    // Its place taken by another directory since, it is not taken up again.
    release_listing(b);
    ASSERT_EQ(rename((moved + "/a/b").c_str(), (moved + "/a/c").c_str()), 0);
    std::filesystem::create_directory(moved + "/a/b");
    EXPECT_FALSE(take_up_listing(b, nullptr, &error));
    EXPECT_EQ(error, ESTALE);
    for (DirListing* listing : {b, a, root})
        close_listing(listing);
    dup2(input, 0);
    close(input);
    std::filesystem::remove_all(moved);
}

// On Linux the processors' times are the machine's, all programs counted,
// not this process's alone.
TEST(Platform, ProcessorTimesOfTheMachine)
{
    ProcessorTimes t = processor_times();
    EXPECT_GT(t.busy, 0);
    EXPECT_GT(t.all, t.busy);
}

// A thread blocked in a read has given up its processor to wait, and the
// system counts it: the readers tell a read that waited for the storage by
// that. The pipe is written only once the reading thread is seen asleep.
TEST(Platform, ThreadWaitsCountsABlockedRead)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    std::uint64_t before = 0, after = 0;
    std::atomic<pid_t> reader{0};
    std::thread gate([&] {
        while (!reader.load())
            std::this_thread::yield();
        std::string stat_path = "/proc/self/task/" + std::to_string(reader.load()) + "/stat";
        for (std::string stat; stat.find(") S ") == std::string::npos;)
            std::getline(std::ifstream(stat_path), stat);
        EXPECT_EQ(write(pipe_fds[1], "x", 1), 1);
    });
    bool counted = thread_waits(&before);
    reader = static_cast<pid_t>(syscall(SYS_gettid));
    char c;
    EXPECT_EQ(read(pipe_fds[0], &c, 1), 1);
    counted = thread_waits(&after) && counted;
    gate.join();
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    EXPECT_TRUE(counted);
    EXPECT_GT(after, before);
}
