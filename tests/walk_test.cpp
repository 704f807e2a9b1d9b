// The walk and its readers through their seams: reads that fail for want of
// descriptors or memory, at chosen points, on one processor and on more.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "run/walk.h"

namespace
{

// A tree of recordings on three levels, and its catalogue read undisturbed.
struct Tree {
    std::string root;
    std::string rows;

    Tree()
    {
        char dir[] = "/tmp/aucatalog-test-XXXXXX";
        root = mkdtemp(dir);
        std::string head(320, '\0');
        head.replace(0, 8, ".snd\0\0\x01\x40", 8);
        head[18] = 0x1F, head[19] = 0x40; // 8,000 samples a second
        for (int i = 0; i < 8000; i++) {
            std::string sub = root + "/d" + std::to_string(i % 4) + (i % 3 ? "/e" : "");
            std::filesystem::create_directories(sub);
            std::ofstream(sub + "/r" + std::to_string(i) + ".au") << head << std::string(i, 'x');
        }
        rows = catalogue({}).rows;
    }
    ~Tree() { std::filesystem::remove_all(root); }

    // The rows a walk writes, and what it came to.
    struct Run {
        std::string rows;
        WalkResult result;
        bool out_of_memory = false;
    };
    Run catalogue(const WalkSetup& setup) const
    {
        Run run;
        char* text = nullptr;
        std::size_t len = 0;
        std::FILE* out = open_memstream(&text, &len);
        std::FILE* progress = std::fopen("/dev/null", "w");
        try {
            run.result = scan_directory({root, root}, out, progress, setup);
        } catch (const std::bad_alloc&) {
            run.out_of_memory = true;
        }
        std::fclose(out);
        std::fclose(progress);
        run.rows.assign(text, len);
        std::free(text);
        return run;
    }
};

const Tree& tree()
{
    static const Tree tree;
    return tree;
}

// Reads fail from the `from`-th on, every `every`-th (0: just that one),
// the way `fault` says. The count is over all threads. SHORT_THEN_NO_MEMORY
// refuses a file for want of descriptors and runs out of memory when it is
// tried again.
enum Fault { SHORT_OF_DESCRIPTORS, SYSTEM_SHORT_OF_FILES, NO_MEMORY, SHORT_THEN_NO_MEMORY };
std::atomic<int> reads, from, every;
Fault fault;
std::mutex refused_mutex;
std::string refused;

bool faulty_read(const FileSpec& file, unsigned char* head, std::size_t n, std::size_t* got,
                 std::uint64_t* size, int* error)
{
    int k = ++reads - from;
    if (fault == SHORT_THEN_NO_MEMORY) {
        std::lock_guard<std::mutex> lock(refused_mutex);
        if (k == 0)
            refused = file.name;
        else if (file.name == refused)
            throw std::bad_alloc();
    }
    if (k == 0 || (k > 0 && every && k % every == 0)) {
        if (fault == NO_MEMORY)
            throw std::bad_alloc();
        *error = fault == SYSTEM_SHORT_OF_FILES ? ENFILE : EMFILE;
        return false;
    }
    return read_file_head(file, head, n, got, size, error);
}

// The first 500 reads wait 1 to 3 ms, as on a share, the others not at all,
// as on a warm cache: how many were in flight at most, while slow and over
// the last 2,000.
std::atomic<int> in_flight, most_while_slow, most_at_the_end;

bool latent_read(const FileSpec& file, unsigned char* head, std::size_t n, std::size_t* got,
                 std::uint64_t* size, int* error)
{
    using namespace std::chrono;
    if (++reads == 1) { // the system short of files for a moment
        *error = ENFILE;
        return false;
    }
    int k = reads, now = ++in_flight;
    std::atomic<int>& most = k <= 500 ? most_while_slow : most_at_the_end;
    for (int m = most.load(); (k <= 500 || k > 6000) && now > m;)
        most.compare_exchange_weak(m, now);
    if (k <= 500)
        std::this_thread::sleep_for(microseconds(1000 + k * 7919 % 2000));
    bool ok = read_file_head(file, head, n, got, size, error);
    in_flight--;
    return ok;
}

Tree::Run with_faults(Fault f, int first, int step, unsigned processors)
{
    reads = 0, from = first, every = step, fault = f, refused.clear();
    return tree().catalogue({faulty_read, processors, 0});
}

} // namespace

// Whether rows are the first n bytes of the undisturbed catalogue.
bool first_rows(const std::string& rows, std::size_t n)
{
    return n <= tree().rows.size() && rows == tree().rows.substr(0, n);
}

// While reads wait for the storage many are in flight at once, far more
// than the processors, also after a moment's shortage; once they are quick
// again, one a processor. The catalogue is the same either way.
TEST(Walk, ReadsInFlightFollowTheStorage)
{
    reads = 0, in_flight = 0, most_while_slow = 0, most_at_the_end = 0;
    std::string rows = tree().catalogue({latent_read, 2, 0}).rows;
    EXPECT_TRUE(first_rows(rows, tree().rows.size())) << rows.size();
    EXPECT_GE(most_while_slow.load(), 16);
    EXPECT_LE(most_at_the_end.load(), 2);
}

// A read refused for want of descriptors, whichever read it is and
// whichever thread, is tried again and nothing is lost. Refused for good,
// the run stops at the first file refused twice, after the rows before it.
// Out of memory on a reader thread, or on the walk trying a refused read
// again, the run ends as on the walk's own: bad_alloc, after a prefix of
// the rows.
TEST(Walk, ReadsThatFail)
{
    const std::pair<Fault, int> kinds[] = {{SHORT_OF_DESCRIPTORS, 0},
                                           {SYSTEM_SHORT_OF_FILES, 0},
                                           {SHORT_OF_DESCRIPTORS, 1},
                                           {NO_MEMORY, 0},
                                           {SHORT_THEN_NO_MEMORY, 0}};
    for (unsigned processors : {1u, 2u}) {
        for (auto [fault, every] : kinds) {
            for (int first : {1, 2, 17, 333, 8000}) {
                Tree::Run run = with_faults(fault, first, every, processors);
                const Failure& failure = run.result.failure;
                std::size_t end = tree().rows.size();
                if (every) {
                    EXPECT_TRUE(failure.error == EMFILE && !failure.writing);
                    end = tree().rows.find(failure.path + ",");
                } else if (fault == NO_MEMORY || fault == SHORT_THEN_NO_MEMORY) {
                    EXPECT_TRUE(run.out_of_memory);
                    EXPECT_LT(end = run.rows.size(), tree().rows.size());
                } else {
                    EXPECT_EQ(failure.error, 0);
                }
                EXPECT_TRUE(first_rows(run.rows, end)) << processors << fault << every << first
                                                       << ": " << run.rows.size() << " of " << end;
            }
        }
    }
}
