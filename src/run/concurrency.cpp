#include "run/concurrency.h"

#include <algorithm>

#include "run/tuning.h"

Concurrency initial_concurrency(int processors, int most)
{
    Concurrency c;
    c.processors = processors;
    set_most(c, most);
    c.target = c.quick;
    return c;
}

void set_most(Concurrency& c, int most)
{
    c.most = most;
    c.quick = std::min(c.processors, most);
}

int stretch_reads(const Concurrency& c, double rate)
{
    double in_time = rate * std::chrono::duration<double>(STRETCH_TIME).count();
    return std::max({2 * c.target, STRETCH_READS, static_cast<int>(std::min(in_time, 1e6))});
}

void adjust(Concurrency& c, const ReadsSeen& seen)
{
    if (seen.slow * SLOW_SHARE < seen.reads) { // the processors set the pace again
        c.slow = false;
        c.target = c.quick;
        return;
    }
    if (!c.slow) { // reads began to wait: start where disks and shares pay
        c.slow = true;
        c.best = c.target = std::max({c.best, SLOW_START, c.quick});
        c.best_rate = 0;
        c.hold = 0;
        return;
    }
    // While the budget allows fewer than the best, it sets the pace, not the
    // storage: nothing is learnt until it allows them again.
    if (seen.seconds <= 0 || c.most < c.best)
        return;
    double rate = seen.reads / seen.seconds;
    if (c.target != c.best) { // a try: more kept if they paid, fewer if they lost little
        bool more = c.target > c.best;
        if (more ? rate <= c.best_rate * RATE_GAIN : rate < c.best_rate * KEEP_FEWER) {
            c.target = c.best;
            c.patience = std::min(2 * c.patience, MOST_PATIENCE);
            c.hold = c.patience;
            return;
        }
        c.best = c.target;
        c.best_rate = rate;
        c.patience = 1;
    } else {
        c.best_rate = c.best_rate > 0 ? (c.best_rate + rate) / 2 : rate;
        if (c.hold > 0) {
            c.hold--;
            return;
        }
    }
    // More reads in flight can only help while those allowed are kept busy
    // and the processors have time to spare for them. While the walk lists
    // no faster than they read, or the kernel's work for them fills the
    // processors (a cold local disk), fewer may do as well.
    bool busy = seen.mean_in_flight >= BUSY * c.best;
    bool spare = seen.busy_processors < PROCESSORS_BUSY;
    int fewest = std::clamp(SLOW_START, c.quick, c.most);
    if (busy && spare)
        c.target = std::min(2 * c.best, c.most);
    else if (c.best / 2 >= fewest)
        c.target = c.best / 2;
}
