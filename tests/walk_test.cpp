// The walk and its readers through their seams: reads that say whether they
// waited for the storage and may be held at a gate, a clock that moves only
// as the reads say, and reads that fail for want of descriptors or memory.
// No verdict depends on how fast the machine is.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "run/tuning.h"
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

// The clock: a read that waited for the storage moves it on 1 ms, any other
// 10 us; the processors are a fifth busy.
std::atomic<long long> now_us;
double fake_wall()
{
    return static_cast<double>(now_us.load()) / 1e6;
}
ProcessorTimes fake_processors()
{
    return {fake_wall() / 5, fake_wall()};
}

// What the reads do, counted over all threads. Those from the
// `waited_from`-th to the `waited_to`-th wait for the storage. From the
// `fault_from`-th on, every `fault_every`-th (0: just that one) fails as
// `fault` says; SHORT_THEN_NO_MEMORY refuses a file for want of descriptors
// and runs out of memory when it is tried again. With the gate closed,
// reads on any thread but the walk's wait at it.
enum Fault { NONE, SHORT_OF_DESCRIPTORS, SYSTEM_SHORT_OF_FILES, NO_MEMORY, SHORT_THEN_NO_MEMORY };
struct Script {
    int waited_from = 0, waited_to = 0;
    Fault fault = NONE;
    int fault_from = 0, fault_every = 0;
    bool gate_closed = false;
};
Script script;
std::thread::id walk_thread;
std::atomic<int> reads, in_flight, most_in_flight, random_reads;
std::mutex mutex; // over the gate and the file refused
std::condition_variable gate;
int at_gate, passes; // reads waiting there, and let through one by one
std::string refused;

void pass_gate()
{
    if (std::this_thread::get_id() == walk_thread)
        return;
    std::unique_lock<std::mutex> lock(mutex);
    at_gate++;
    gate.notify_all();
    gate.wait(lock, [] { return !script.gate_closed || passes > 0; });
    passes -= script.gate_closed;
    at_gate--;
}

// The error the k-th read fails with, or 0; throws when out of memory.
int fault_of(int k, const FileSpec& file)
{
    k -= script.fault_from;
    if (script.fault == SHORT_THEN_NO_MEMORY) {
        std::lock_guard<std::mutex> lock(mutex);
        if (k == 0)
            refused = file.name;
        else if (file.name == refused)
            throw std::bad_alloc();
    }
    if (script.fault == NONE ||
        !(k == 0 || (k > 0 && script.fault_every && k % script.fault_every == 0)))
        return 0;
    if (script.fault == NO_MEMORY)
        throw std::bad_alloc();
    return script.fault == SYSTEM_SHORT_OF_FILES ? ENFILE : EMFILE;
}

bool scripted_read(const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                   FileHead* out)
{
    int k = ++reads, now = ++in_flight;
    for (int most = most_in_flight.load(); now > most;)
        most_in_flight.compare_exchange_weak(most, now);
    random_reads += random;
    pass_gate();
    out->waited = k >= script.waited_from && k <= script.waited_to;
    out->seconds = out->waited ? 1e-3 : 1e-5;
    now_us += out->waited ? 1000 : 10;
    in_flight--;
    out->error = fault_of(k, file);
    return !out->error && read_file_head(file, head, n, random, out);
}

Tree::Run run_script(const Script& s, unsigned processors, ReadersTrace* trace = nullptr)
{
    script = s, reads = 0, in_flight = 0, most_in_flight = 0, random_reads = 0, passes = 0;
    refused.clear();
    now_us = 0, walk_thread = std::this_thread::get_id();
    return tree().catalogue({scripted_read, {fake_wall, fake_processors}, processors, 0, trace});
}

} // namespace

// While reads are quick the walk and one reader a further processor read,
// and never more at once; reads are not told to skip what follows.
TEST(Readers, QuickReadsOneAProcessor)
{
    for (unsigned processors : {1u, 2u, 3u}) {
        ReadersTrace trace;
        EXPECT_EQ(run_script({}, processors, &trace).rows, tree().rows);
        EXPECT_EQ(trace.threads_started, static_cast<int>(processors) - 1);
        EXPECT_LE(most_in_flight.load(), static_cast<int>(processors));
        EXPECT_FALSE(trace.targets.empty());
        for (int target : trace.targets)
            EXPECT_EQ(target, static_cast<int>(processors));
        EXPECT_EQ(random_reads.load(), 0);
    }
}

// Once the first stretch of reads waited for the storage, the walk starts
// readers until the target is in flight, on one processor as on two, and
// no more: with every reader held at the gate, exactly the target waits
// there, each on a thread of its own, and the walk sleeps. Let through one
// at a time, every read ends with all the others in flight: they are kept
// busy, and with processors to spare more are tried.
TEST(Readers, WaitingReadsFillTheTarget)
{
    for (unsigned processors : {1u, 2u}) {
        ReadersTrace trace;
        Tree::Run run;
        Script waiting{1, 1 << 30};
        waiting.gate_closed = true;
        std::thread walk([&] { run = run_script(waiting, processors, &trace); });
        {
            std::unique_lock<std::mutex> lock(mutex);
            gate.wait(lock, [] { return at_gate == SLOW_START; });
            EXPECT_EQ(trace.threads_started, SLOW_START);
            EXPECT_EQ(trace.targets, (std::vector<int>{int(processors), SLOW_START}));
            for (int i = 0; i < 2 * SLOW_START; i++, passes = 1, gate.notify_all()) // a stretch
                gate.wait(lock, [] { return at_gate >= SLOW_START && passes == 0; });
            script.gate_closed = false;
            gate.notify_all();
        }
        walk.join();
        EXPECT_EQ(run.rows, tree().rows);
        EXPECT_GT(trace.walk_slept, 0);
        EXPECT_GT(*std::max_element(trace.targets.begin(), trace.targets.end()), SLOW_START);
        int quick_reads = FIRST_STRETCH + static_cast<int>(processors) - 1;
        EXPECT_GE(random_reads.load(), reads.load() - quick_reads);
    }
}

// Reads that wait, after a moment's shortage of the system's files, put
// the target up; once they are quick again it falls back to the
// processors, and the catalogue is the same throughout.
TEST(Readers, TargetFollowsTheStorage)
{
    ReadersTrace trace;
    EXPECT_EQ(run_script({1, 600, SYSTEM_SHORT_OF_FILES, 1}, 2, &trace).rows, tree().rows);
    ASSERT_GE(trace.targets.size(), 4u);
    EXPECT_EQ(trace.targets[1], SLOW_START);
    EXPECT_EQ(trace.targets.back(), 2);
    EXPECT_GT(random_reads.load(), 0);
}

// A read refused for want of descriptors, whichever read it is and
// whichever thread, is tried again and nothing is lost. Refused for good,
// the run stops at the first file refused twice, after the rows before it.
// Out of memory on a reader thread, or on the walk trying a refused read
// again, the run ends as on the walk's own: bad_alloc, after a prefix of
// the rows.
TEST(Readers, ReadsThatFail)
{
    const std::pair<Fault, int> kinds[] = {{SHORT_OF_DESCRIPTORS, 0},
                                           {SHORT_OF_DESCRIPTORS, 1},
                                           {NO_MEMORY, 0},
                                           {SHORT_THEN_NO_MEMORY, 0}};
    for (unsigned processors : {1u, 2u}) {
        for (auto [fault, every] : kinds) {
            for (int first : {1, 17, 8000}) {
                Tree::Run run = run_script({0, 0, fault, first, every}, processors);
                const Failure& failure = run.result.failure;
                std::size_t end = tree().rows.size();
                if (every) {
                    EXPECT_TRUE(failure.error == EMFILE && !failure.writing);
                    end = tree().rows.find(failure.path + ",");
                } else if (fault != SHORT_OF_DESCRIPTORS) {
                    EXPECT_TRUE(run.out_of_memory);
                    EXPECT_LT(end = run.rows.size(), tree().rows.size());
                } else {
                    EXPECT_EQ(failure.error, 0);
                }
                EXPECT_TRUE(end <= tree().rows.size() && run.rows == tree().rows.substr(0, end))
                    << processors << fault << every << first << ": " << run.rows.size() << " of "
                    << end;
            }
        }
    }
}
