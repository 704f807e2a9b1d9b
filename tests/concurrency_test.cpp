// The reads-in-flight target against storage whose answer to a target is
// known: each stretch reports the rate the model gives and how busy the
// reads and processors were.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "run/concurrency.h"

namespace
{

struct Storage {
    std::function<double(int)> rate; // files a second at a number in flight
    double processors_busy = 0.2;
    bool quick = false;
    int supply = 1 << 20; // the most the walk keeps in flight
};

// The targets of n stretches on that storage, from 2 processors.
std::vector<int> targets(Concurrency& c, const Storage& s, int n)
{
    std::vector<int> seen;
    for (int i = 0; i < n; i++) {
        int in_flight = std::min({c.target, c.most, s.supply});
        double rate = s.rate(in_flight);
        int reads = std::max(stretch_reads(c, rate), 1);
        adjust(c, {reads, s.quick ? 0 : reads, reads / rate, static_cast<double>(in_flight),
                   s.processors_busy});
        seen.push_back(c.target);
    }
    return seen;
}

// A share answers each read in 3 ms, up to 128 at once; a cold local disk
// gives about the same rate from 32 on, with the processors busy; a card
// gives the same rate at any number.
double share(int n)
{
    return std::min(n, 128) / 0.003;
}
double disk(int n)
{
    return n >= 32 ? 60000 - 100 * (n - 32) : 1875.0 * n;
}
double card(int)
{
    return 500;
}

} // namespace

TEST(Concurrency, ClimbsWhileTheStoragePays)
{
    Concurrency c = initial_concurrency(2, 256);
    std::vector<int> t = targets(c, {share}, 12);
    EXPECT_EQ(t[0], 32);  // reads began to wait
    EXPECT_EQ(t[3], 256); // 64, 128, then a try at 256
    EXPECT_EQ(*std::max_element(t.begin(), t.end()), 256);
    EXPECT_EQ(c.best, 128);                                // 256 gave nothing more
    EXPECT_LE(std::count(t.begin() + 4, t.end(), 256), 3); // and is tried seldom
}

TEST(Concurrency, StaysWhereMoreDoNotPay)
{
    struct {
        Storage storage;
        int best;
    } cases[] = {
        {{disk, 0.9}, 32},             // the processors are busy: no try at more
        {{disk, 0.2}, 32},             // a try at 64 costs, and is given up
        {{card}, 32},                  // the fewest kept while reads wait
        {{share, 0.2, false, 36}, 32}, // the walk keeps no more in flight
    };
    for (auto& k : cases) {
        Concurrency c = initial_concurrency(2, 256);
        std::vector<int> t = targets(c, k.storage, 40);
        EXPECT_EQ(c.best, k.best) << &k - cases;
        EXPECT_LE(*std::max_element(t.begin(), t.end()), 64) << &k - cases;
    }
}

TEST(Concurrency, ComesBackDownAndFallsBackWhenReadsTurnQuick)
{
    Concurrency c = initial_concurrency(2, 256);
    targets(c, {share}, 10);
    // The processors turn busy and more than 32 give nothing: halving
    // loses nothing, down to where it started.
    targets(c, {[](int n) { return std::min(n, 32) / 0.003; }, 0.9}, 40);
    EXPECT_EQ(c.best, 32);
    targets(c, {share, 0.2, true}, 1);
    EXPECT_EQ(c.target, 2);
    EXPECT_EQ(targets(c, {share}, 1)[0], 32); // slow again: where it was
}

// A budget below the target (the system short of descriptors for a while)
// sets the pace: nothing is learnt meanwhile, and the target stands for
// when the budget allows it again.
TEST(Concurrency, BudgetBelowTheTarget)
{
    Concurrency c = initial_concurrency(8, 6);
    EXPECT_EQ(c.target, 6);
    targets(c, {share}, 10);
    EXPECT_EQ(c.best, 32);
    set_most(c, 256);
    EXPECT_EQ(targets(c, {share}, 1)[0], 64);
}
