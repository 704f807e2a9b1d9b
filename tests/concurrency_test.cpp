// The reads-in-flight target against storage whose answer to a target is
// known: each stretch reports the rate the model gives and how busy the
// reads and processors were.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <utility>

#include "run/concurrency.h"
#include "run/stretch.h"
#include "run/tuning.h"

namespace
{

struct Storage {
    std::function<double(int)> rate; // files a second at a number in flight
    double processors_busy = 0.2;
    bool quick = false;
    int supply = 1 << 20; // the most the walk keeps in flight
    double walk_rate = 0; // files a second the walk lists; 0: it has queued all
};

// The targets after each of n stretches on that storage.
std::vector<int> targets(Concurrency& c, const Storage& s, int n)
{
    std::vector<int> seen;
    for (int i = 0; i < n; i++) {
        int in_flight = std::min({c.target, c.most, s.supply});
        double rate = s.rate(in_flight);
        int reads = std::max(stretch_reads(c), static_cast<int>(rate * STRETCH_SECONDS));
        judge_stretch(c, {reads, s.quick ? 0 : reads, in_flight / rate, 1 / s.rate(1),
                          static_cast<double>(in_flight), s.walk_rate, s.processors_busy});
        seen.push_back(c.target);
    }
    return seen;
}

// A share answers each read in 3 ms, up to 128 at once; a cold local disk
// serves 8 at once, in 0.1 ms, and past 32 in flight the kernel's work
// makes more slower.
const auto share = [](int n) { return std::min(n, 128) / 0.003; };
const auto disk = [](int n) { return std::min(n, 8) * 1e4 - 100 * std::max(n - 32, 0); };

} // namespace

// On a share the target goes at once to as many as keep up with the walk:
// at 3 ms, 60 for 20,000 files a second; for 100,000, 300, more than the
// share serves at once, so that reads queue and it halves. Once the walk
// has queued everything, it doubles while that pays. It tries beyond the
// best seldom.
TEST(Concurrency, ClimbsWhileTheStoragePays)
{
    const struct {
        double walk_rate;
        int second, best; // the target after the second stretch, and the best
    } cases[] = {{20000, 60, 60}, {100000, 300, 150}, {0, 64, 128}};
    for (const auto& k : cases) {
        Concurrency c = initial_concurrency(2, 512);
        std::vector<int> t = targets(c, {share, 0.2, false, 1 << 20, k.walk_rate}, 20);
        EXPECT_EQ(t[0], SLOW_START); // reads began to wait
        EXPECT_EQ(t[1], k.second);
        EXPECT_EQ(c.best, k.best);
        EXPECT_LE(std::count_if(t.begin() + 3, t.end(), [&](int n) { return n > c.best; }), 3);
    }
}

// Busy processors (all programs counted), storage that queues the reads
// (the walk lists 150,000 files a second), or a walk that keeps no more in
// flight: the target stays where it started.
TEST(Concurrency, StaysWhereMoreDoNotPay)
{
    const Storage storage[] = {{disk, 0.9, false, 1 << 20, 150000},
                               {share, 0.9, false, 1 << 20, 20000},
                               {disk, 0.2, false, 1 << 20, 150000},
                               {share, 0.2, false, 36, 12000}};
    for (const Storage& s : storage) {
        Concurrency c = initial_concurrency(2, 256);
        std::vector<int> t = targets(c, s, 40);
        EXPECT_EQ(*std::max_element(t.begin(), t.end()), SLOW_START) << &s - storage;
    }
}

// Storage that serves fewer at once brings it back to where it started;
// quick reads to the processors; slow reads again to where it started, not
// to where it was. A budget below the target (descriptors short for a
// while) sets the pace, and the target stands for when the budget allows
// it again.
TEST(Concurrency, ComesBackDown)
{
    Concurrency c = initial_concurrency(2, 256);
    targets(c, {share}, 10);
    targets(c, {[](int n) { return std::min(n, 30) / 0.003; }}, 40);
    EXPECT_EQ(c.best, SLOW_START);
    targets(c, {share}, 10);
    EXPECT_EQ(targets(c, {share, 0.2, true}, 1)[0], 2);
    EXPECT_EQ(targets(c, {share}, 1)[0], SLOW_START);
    set_most(c, 6);
    targets(c, {share}, 10);
    EXPECT_EQ(c.best, SLOW_START);
    set_most(c, 256);
    EXPECT_EQ(targets(c, {share}, 1)[0], 2 * SLOW_START);
}

// A stretch is slow once an eighth of its reads or more waited. Tries that
// failed wait longer and longer, but reads that turned quick and then slow
// again start afresh: the next failure waits two stretches, not sixteen;
// so do those after a try that paid.
TEST(Concurrency, SlowFromAnEighthAndAfresh)
{
    Concurrency c = initial_concurrency(2, 256);
    judge_stretch(c, {72, 8, 0.003, 0.003, 2, 0, 0.2});
    EXPECT_FALSE(c.slow);
    judge_stretch(c, {72, 9, 0.003, 0.003, 2, 0, 0.2});
    EXPECT_TRUE(c.slow);
    Storage flat{[](int n) { return std::min(n, SLOW_START) / 0.003; }};
    targets(c, flat, 100);
    EXPECT_EQ(c.patience, MOST_PATIENCE);
    targets(c, {flat.rate, 0.2, true}, 1);
    std::vector<int> t = targets(c, flat, 10);
    EXPECT_GE(std::count_if(t.begin(), t.end(), [](int n) { return n > SLOW_START; }), 2);
    targets(c, flat, 100); // so does a try that paid
    targets(c, {share}, 20);
    EXPECT_LT(c.patience, MOST_PATIENCE);
    // Nor is the rate of the storage before the quick reads held against
    // the slower storage after them: its best is reached at the first try.
    targets(c, {share, 0.2, true}, 1);
    targets(c, {[](int n) { return std::min(n, 64) / 0.03; }}, 3);
    EXPECT_EQ(c.best, 64);
}

// A stretch comes to what its reads said and the clock shows: the walk's
// rate counts only the time it was not held up by the reads. Where the
// system gives no processor times for all programs, the process's own
// count against its processors' time.
TEST(Stretch, ComesToWhatItsReadsSaw)
{
    using FakeClock = std::pair<double, ProcessorTimes>; // the wall's time, the processors'
    FakeClock c{10, {4, 20}};
    ReadersClock clock{[](void* f) { return static_cast<FakeClock*>(f)->first; },
                       [](void* f) { return static_cast<FakeClock*>(f)->second; }, &c};
    Stretch s;
    begin_first_stretch(s, clock, 3);
    FileHead quick, waited;
    quick.seconds = 0.001, waited.seconds = 0.003, waited.waited = true;
    EXPECT_FALSE(count_read(s, quick, 4, 11));
    EXPECT_FALSE(count_read(s, waited, 2, 11.5));
    EXPECT_TRUE(count_read(s, waited, 3, 11));
    c = {12, {7, 24}};
    ReadsSeen seen = take_stretch(s, clock, 2, {600, 0.5});
    // The next: two reads, and a second and a half of the reads' own time
    // from the first to end to the last.
    s.size = 2, s.least_time = 1.5;
    EXPECT_FALSE(count_read(s, quick, 1, 12.9));
    EXPECT_FALSE(count_read(s, quick, 1, 12.5));
    c = {14, {8, 0}};
    EXPECT_TRUE(count_read(s, quick, 1, 14.1));
    ReadsSeen own = take_stretch(s, clock, 2, {700, 0.5});
    const double expected[] = {3, 2, 0.007 / 3, 0.003, 3, 600 / 1.5, 0.75, 3, 0, 0, 50, 0.25};
    const double got[] = {double(seen.reads),   double(seen.waited), seen.latency,
                          seen.quickest,        seen.mean_in_flight, seen.walk_rate,
                          seen.busy_processors, double(own.reads),   double(own.waited),
                          own.quickest,         own.walk_rate,       own.busy_processors};
    for (int i = 0; i < 12; i++)
        EXPECT_NEAR(got[i], expected[i], 1e-9) << i;
    // Closed again at once, with no processor times given: none busy.
    EXPECT_EQ(take_stretch(s, clock, 2, {700, 0.5}).busy_processors, 0);
}
