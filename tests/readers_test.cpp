// The readers and the walk through their seams: scripted reads that may
// wait for the storage, fail, or be held at a gate, and a clock that moves
// only as they say. A lost wake-up shows as a hang, which CTest's limit ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "recording/header.h"
#include "run/tuning.h"
#include "run/walk.h"

namespace
{

// More files than the window holds, on three levels, empty: the reads make
// each header up from the file's name. In memory where it can be, since
// ext4 takes a second to make them after many deletions.
constexpr int FILES = 5000;

struct Tree {
    std::string root;
    Tree()
    {
        std::string dir = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        dir += "/aucatalog-test-XXXXXX";
        root = mkdtemp(&dir[0]);
        for (int i = 0; i < FILES; i++) {
            std::string sub = root + "/d" + std::to_string(i % 4) + (i % 3 ? "/e" : "");
            std::filesystem::create_directories(sub);
            std::ofstream(sub + "/r" + std::to_string(i) + ".au");
        }
    }
    ~Tree() { std::filesystem::remove_all(root); }
};

// Faults that run out of memory, where others are errors: in the read, or
// once it is done, in the next allocation on its thread (making its row).
constexpr int NO_MEMORY = -1, NO_MEMORY_AFTER = -2;
thread_local bool next_allocation_fails = false;

// One run's reads, counted from 1 over all threads: `waited_from` to
// `waited_to` wait for the storage; from `fault_from`, every `fault_every`-th
// (0: just that one) fails with `fault` or runs out of memory. While
// `gate_closed`, reads off the walk's thread wait at the gate until let
// through by number, as does `held_back` while it is open.
struct Script {
    int waited_from = 0, waited_to = 0;
    int fault = 0;
    int fault_from = 0, fault_every = 0;
    bool gate_closed = false; // under the mutex
    int held_back = 0;        // likewise
    double quick_seconds = 1e-4;

    std::atomic<int> reads{0}, in_flight{0}, most_in_flight{0}, random_reads{0};
    std::atomic<bool> slow_seen{false}; // the test saw the target rise
    std::atomic<int> quick_since{0};    // reads begun since, not told to skip what follows
    std::atomic<long long> now_us{0};
    // The walk reads the wall clock as each sleep begins and ends, and with
    // the processors' at each stretch: an odd difference means it sleeps.
    std::atomic<int> wall_reads{0}, processor_reads{0};
    std::thread::id walk_thread;
    std::mutex mutex;
    std::condition_variable gate;
    std::set<int> held, let_through;       // reads by number, under the mutex
    std::set<std::thread::id> at_the_gate; // every thread that came there, likewise
    ReadersTrace trace;
};

// The clock: a read that waited for the storage moves it on 1 ms, any other
// 100 us; the processors are a fifth busy.
double script_time(const Script& s)
{
    return static_cast<double>(s.now_us.load()) / 1e6;
}

double fake_wall(void* context)
{
    ++static_cast<Script*>(context)->wall_reads;
    return script_time(*static_cast<Script*>(context));
}

ProcessorTimes fake_processors(void* context)
{
    Script& s = *static_cast<Script*>(context);
    ++s.processor_reads;
    return {script_time(s) / 5, script_time(s)};
}

void pass_gate(Script& s, int k)
{
    if (std::this_thread::get_id() == s.walk_thread)
        return;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.held.insert(k);
    s.at_the_gate.insert(std::this_thread::get_id());
    s.gate.notify_all();
    s.gate.wait(lock,
                [&] { return (!s.gate_closed && k != s.held_back) || s.let_through.count(k); });
    s.held.erase(k);
    s.gate.notify_all();
}

// The error the k-th read fails with, or 0; throws when out of memory.
int fault_of(const Script& s, int k)
{
    k -= s.fault_from;
    if (!s.fault || !(k == 0 || (k > 0 && s.fault_every && k % s.fault_every == 0)))
        return 0;
    if (s.fault == NO_MEMORY)
        throw std::bad_alloc();
    return s.fault;
}

// A recording whose talkgroup is the number in the file's name.
void make_header(const std::string& name, unsigned char* head)
{
    std::memset(head, 0, HEADER_SIZE);
    const unsigned char start[] = {'.', 's', 'n', 'd', 0, 0, 0x01, 0x40}; // offset 320
    std::memcpy(head, start, sizeof start);
    head[19] = 100; // 100 samples a second
    int n = std::atoi(name.c_str() + 1);
    head[100] = static_cast<unsigned char>(n >> 8);
    head[101] = static_cast<unsigned char>(n);
}

bool scripted_read(void* context, const FileSpec& file, unsigned char* head, std::size_t n,
                   bool random, FileHead* out)
{
    Script& s = *static_cast<Script*>(context);
    int k = ++s.reads, now = ++s.in_flight;
    for (int most = s.most_in_flight.load(); now > most;)
        s.most_in_flight.compare_exchange_weak(most, now);
    s.random_reads += random;
    s.quick_since += !random && s.slow_seen.load();
    pass_gate(s, k);
    out->waited = k >= s.waited_from && k <= s.waited_to;
    out->seconds = out->waited ? 1e-3 : s.quick_seconds;
    out->ended = static_cast<double>(s.now_us += out->waited ? 1000 : 100) / 1e6;
    s.in_flight--;
    int fault = fault_of(s, k);
    next_allocation_fails = fault == NO_MEMORY_AFTER;
    out->error = next_allocation_fails ? 0 : fault;
    if (out->error)
        return false;
    make_header(file.name, head);
    out->got = n;
    out->size = HEADER_SIZE + 6000;
    return true;
}

struct Catalogue {
    std::string rows, progress;
    WalkResult result;
    bool out_of_memory = false;
};

const std::string& root()
{
    static const Tree tree;
    return tree.root;
}

struct Captured {
    char* text = nullptr;
    std::size_t len = 0;
    std::FILE* file = open_memstream(&text, &len);
    std::string taken()
    {
        std::fclose(file);
        std::string s(text, len);
        std::free(text);
        return s;
    }
};

Catalogue catalogue(Script& s, unsigned processors)
{
    Catalogue run;
    Captured out, progress;
    WalkSetup setup{{scripted_read, &s},  {fake_wall, fake_processors, &s}, processors, 0, &s.trace,
                    std::chrono::hours(1)};
    try {
        run.result = scan_directory({root(), root()}, out.file, progress.file, setup);
    } catch (const std::bad_alloc&) {
        run.out_of_memory = true;
    }
    run.rows = out.taken();
    run.progress = progress.taken();
    return run;
}

// The catalogue as one thread writes it: the walk reads each file as it
// lists it.
const std::string& undisturbed()
{
    static const std::string rows = [] {
        Script s;
        std::string r = catalogue(s, 1).rows;
        EXPECT_EQ(std::count(r.begin(), r.end(), '\n'), FILES);
        return r;
    }();
    return rows;
}

Catalogue run_script(Script& s, unsigned processors)
{
    undisturbed();
    s.walk_thread = std::this_thread::get_id();
    return catalogue(s, processors);
}

// How many of the undisturbed rows these leave out, keeping the others in
// order; -1 when they do not.
int rows_left_out(const std::string& rows)
{
    std::istringstream got(rows), all(undisturbed());
    int left_out = 0;
    std::string row, expected;
    while (std::getline(got, row)) {
        while (std::getline(all, expected) && expected != row)
            left_out++;
        if (expected != row)
            return -1;
    }
    while (std::getline(all, expected))
        left_out++;
    return left_out;
}

} // namespace

// The program's allocation, which fails once where NO_MEMORY_AFTER says.
void* operator new(std::size_t n)
{
    void* p = next_allocation_fails ? nullptr : std::malloc(n ? n : 1);
    next_allocation_fails = false;
    if (!p)
        throw std::bad_alloc();
    return p;
}

void operator delete(void* p) noexcept
{
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}

int quick_readers(int processors)
{
    return processors > 1 ? processors : 0;
}

// While reads are quick a reader a processor reads beside the walk (by
// default, those the process may use), and on one the walk alone, never
// told to skip what follows.
// Reads that take long without waiting (their reader preempted) are quick.
TEST(Readers, QuickReadsOneAProcessor)
{
    for (double seconds : {1e-4, 1e-3}) {
        for (unsigned given : {0u, 1u, 2u, 3u}) {
            Script s;
            s.quick_seconds = seconds;
            EXPECT_EQ(run_script(s, given).rows, undisturbed());
            int processors = static_cast<int>(given ? given : processor_count());
            EXPECT_EQ(s.trace.threads_started, quick_readers(processors));
            EXPECT_LE(s.most_in_flight.load(), processors);
            // A stretch lasts STRETCH_SECONDS of the reads' own time: 300
            // quick reads, not STRETCH_READS.
            EXPECT_GT(s.trace.targets.size(), 1u);
            EXPECT_LT(static_cast<int>(s.trace.targets.size()), FILES / STRETCH_READS / 2);
            if (processors == 1) {
                EXPECT_EQ(s.trace.walk_slept, 0); // it reads each file as it lists it
            }
            for (int target : s.trace.targets)
                EXPECT_EQ(target, processors);
            EXPECT_EQ(s.random_reads.load(), 0);
        }
    }
}

// Waits until `count` reads are held at the gate, none of them let through.
void await_held(Script& s, std::unique_lock<std::mutex>& lock, std::size_t count)
{
    s.gate.wait(lock, [&] {
        return s.held.size() >= count && std::none_of(s.held.begin(), s.held.end(), [&](int k) {
                   return s.let_through.count(k) > 0;
               });
    });
}

// Reads are judged in order, so while they are quick (no reader has come
// to the gate but those started for quick reads) the oldest are let
// through, one at a time; then the target is awaited there.
void fill_the_gate(Script& s, std::unique_lock<std::mutex>& lock, unsigned processors)
{
    auto oldest_held = [&] {
        for (int k : s.held)
            if (!s.let_through.count(k))
                return k;
        return 0;
    };
    auto more_readers = [&] {
        return static_cast<int>(s.at_the_gate.size()) > quick_readers(static_cast<int>(processors));
    };
    for (;;) {
        s.gate.wait(lock, [&] { return oldest_held() || more_readers(); });
        if (more_readers())
            break;
        s.let_through.insert(oldest_held());
        s.gate.notify_all();
    }
    await_held(s, lock, SLOW_START);
}

// Once the first stretch of reads waited, the walk starts readers until
// the target is in flight, and no more: exactly the target waits at the
// gate, each on a thread of its own. Reads let through one at a time, in any
// order, wake whoever waits for them, and the catalogue is the same; oldest
// first, the others stay in flight, so more are tried. The last read is held
// until the walk sleeps for it alone: its end must wake the walk.
TEST(Readers, GatedReads)
{
    enum Order { OLDEST_FIRST, NEWEST_FIRST, BOTH_ENDS };
    const std::pair<unsigned, Order> runs[] = {
        {1, OLDEST_FIRST}, {2, OLDEST_FIRST}, {2, NEWEST_FIRST}, {2, BOTH_ENDS}};
    for (auto [processors, order] : runs) {
        Script s;
        s.waited_from = 1, s.waited_to = 1 << 30, s.gate_closed = true;
        Catalogue run;
        std::thread walk([&, processors = processors] { run = run_script(s, processors); });
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            fill_the_gate(s, lock, processors);
            s.slow_seen = true;
            // The trace is the walk's until it ends; the gate is the test's.
            EXPECT_EQ(s.at_the_gate.size(), std::size_t{SLOW_START});
            EXPECT_EQ(s.held.size(), std::size_t{SLOW_START});
            // Until the walk sleeps for a read, its window full: however
            // slowly it lists, it is then behind the reads, which pays.
            while ((s.wall_reads - s.processor_reads) % 2 == 0)
                s.gate.wait_for(lock, std::chrono::milliseconds(1));
            for (int i = 0; i < 4 * SLOW_START; i++) {
                await_held(s, lock, SLOW_START);
                bool newest = order == NEWEST_FIRST || (order == BOTH_ENDS && i % 2);
                s.let_through.insert(newest ? *s.held.rbegin() : *s.held.begin());
                s.gate.notify_all();
            }
            s.held_back = FILES;
            s.gate_closed = false;
            s.gate.notify_all();
            while (s.reads < FILES || s.in_flight > 1 ||
                   (s.wall_reads - s.processor_reads) % 2 == 0)
                s.gate.wait_for(lock, std::chrono::milliseconds(1));
            s.let_through.insert(FILES);
            s.gate.notify_all();
        }
        walk.join();
        EXPECT_EQ(run.rows, undisturbed()) << order;
        const std::vector<int>& t = s.trace.targets;
        EXPECT_EQ(t[0], int(processors));
        EXPECT_EQ(t[1], SLOW_START);
        // Each stretch after the first lasts twice the target in reads.
        EXPECT_LE(t.size(), std::size_t{2 + FILES / (2 * SLOW_START)});
        // Readers started: no more than the target ever was.
        EXPECT_GE(s.trace.threads_started, SLOW_START);
        EXPECT_LE(s.trace.threads_started, *std::max_element(t.begin(), t.end()));
        EXPECT_GT(s.trace.walk_slept, 0);
        EXPECT_EQ(s.quick_since.load(), 0);
        if (order == OLDEST_FIRST) {
            EXPECT_GT(*std::max_element(t.begin(), t.end()), SLOW_START);
        }
    }
}

// A read refused for want of descriptors is read again; refused for good,
// the run stops at the first file refused twice, after the rows before it.
// Out of memory on any thread, it ends in bad_alloc after a prefix of the
// rows. A file the storage fails to read is left out and counted; one not
// accessible, left out in silence.
TEST(Readers, ReadsThatFail)
{
    enum Outcome { WHOLE, STOPPED, OUT_OF_MEMORY, LEFT_OUT };
    struct Case {
        unsigned processors;
        int fault;
        int first, every;
        Outcome outcome;
    };
    const Case cases[] = {
        {1, EMFILE, 1, 0, WHOLE},
        {2, EMFILE, 17, 0, WHOLE},
        {2, ENFILE, FILES, 0, WHOLE},
        {1, EMFILE, 1, 1, STOPPED},
        {2, EMFILE, 17, 1, STOPPED},
        {1, NO_MEMORY, 17, 0, OUT_OF_MEMORY},
        {2, NO_MEMORY, 1, 0, OUT_OF_MEMORY},
        {2, NO_MEMORY, FILES, 0, OUT_OF_MEMORY},
        {2, NO_MEMORY_AFTER, 17, 0, OUT_OF_MEMORY}, // into a slot not used before
        {1, EIO, 5, 100, LEFT_OUT},
        {2, EIO, 5, 100, LEFT_OUT},
        {2, EACCES, 5, 100, LEFT_OUT},
    };
    const std::string& rows = undisturbed();
    for (const Case& c : cases) {
        Script s;
        s.fault = c.fault, s.fault_from = c.first, s.fault_every = c.every;
        Catalogue run = run_script(s, c.processors);
        const Failure& failure = run.result.failure;
        EXPECT_EQ(failure.error, c.outcome == STOPPED ? EMFILE : 0) << &c - cases;
        EXPECT_EQ(run.out_of_memory, c.outcome == OUT_OF_MEMORY) << &c - cases;
        EXPECT_EQ(run.result.failures, c.fault == EIO ? FILES / 100 : 0) << &c - cases;
        if (c.outcome == STOPPED)
            EXPECT_EQ(run.rows, rows.substr(0, rows.find(failure.path + ",")));
        else if (c.outcome == OUT_OF_MEMORY) // the message to follow on a line of its own
            EXPECT_TRUE(run.rows.size() < rows.size() &&
                        rows.compare(0, run.rows.size(), run.rows) == 0 &&
                        (run.progress.empty() || run.progress.back() == '\n'));
        else
            EXPECT_EQ(rows_left_out(run.rows), c.outcome == LEFT_OUT ? FILES / 100 : 0)
                << &c - cases;
    }
}

// The walk's part in the ring, done by the test: the file at place queued,
// and readers woken for what waits.
void queue_in(Readers* r, std::uint64_t place)
{
    Slot& slot = slots_of(r)[place % WINDOW];
    slot.kind = ITEM_FILE;
    slot.file = {nullptr, "r" + std::to_string(place) + ".au"};
    slot.done.store(false);
    publish(r, place);
    wake_readers(r, unclaimed(r));
}

// n readers with a permit each, reading as s says.
Readers* readers(Script& s, int n)
{
    Readers* r = make_readers({scripted_read, &s}, std::chrono::hours(1));
    set_cap(r, n, true);
    for (int i = 0; i < n; i++)
        EXPECT_TRUE(start_reader(r));
    return r;
}

// A file queued alone while every reader sleeps wakes one, and its end
// wakes the walk; a wake-up lost shows as a hang.
TEST(Readers, OneFileWakesASleepingReader)
{
    for (int n : {1, 2}) {
        Script s;
        Readers* r = readers(s, n);
        for (std::uint64_t place = 0; place < 200; place++) {
            while (sleeping_readers(r) < n)
                std::this_thread::yield();
            queue_in(r, place);
            sleep_until_done(r, place);
            const std::string& row = slots_of(r)[place % WINDOW].row;
            EXPECT_NE(row.find("," + std::to_string(place) + ","), std::string::npos);
        }
        EXPECT_EQ(s.reads.load(), 200);
        stop_readers(r);
        free_readers(r);
    }
}

// While a reader holds the one permit no other read begins: neither the
// walk's own nor its read again of a file refused. Once the first is done
// the reader reads the second file too, unless told to stop meanwhile:
// then the file is left.
TEST(Readers, OnePermitOneRead)
{
    for (bool stop : {false, true}) {
        Script s;
        s.walk_thread = std::this_thread::get_id();
        s.gate_closed = true;
        Readers* r = readers(s, 1);
        queue_in(r, 0);
        queue_in(r, 1);
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            await_held(s, lock, 1);
        }
        EXPECT_EQ(read_next(r), NO_PLACE);
        EXPECT_FALSE(read_again(r, 1));
        std::thread stopper;
        if (stop)
            stopper = std::thread([r] { stop_readers(r); });
        while (stop && cap_of(r) != 0) // the gate opens once the stop is under way
            std::this_thread::yield();
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.gate_closed = false;
            s.gate.notify_all();
        }
        if (stop) {
            stopper.join();
        } else {
            sleep_until_done(r, 1);
            stop_readers(r);
        }
        EXPECT_EQ(s.reads.load(), stop ? 1 : 2);
        EXPECT_EQ(s.most_in_flight.load(), 1);
        free_readers(r);
    }
}
