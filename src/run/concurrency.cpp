#include "run/concurrency.h"

#include <algorithm>
#include <cmath>

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

int stretch_reads(const Concurrency& c)
{
    return std::max(2 * c.target, STRETCH_READS);
}

// A try at another target is over: kept when it paid, or given up for the
// best, with longer to wait before the next.
static bool tried(Concurrency& c, double rate)
{
    bool more = c.target > c.best;
    if (more ? rate <= c.best_rate * RATE_GAIN : rate < c.best_rate * KEEP_FEWER) {
        c.target = c.best;
        c.patience = std::min(2 * c.patience, MOST_PATIENCE);
        c.hold = c.patience;
        return false;
    }
    c.best = c.target;
    c.best_rate = rate;
    c.patience = 1;
    return true;
}

// The next try. More reads in flight can only help while those allowed are
// kept busy, the processors have time to spare for them, the storage
// serves them at once, rather than queueing them as a local disk does
// (reads then take several times as long as the quickest), and the walk
// lists faster than they keep up with: then as many as keep up by Little's
// law. More than that only take the processors from the walk, unless it
// queued nothing (done, or held up by the reads): then twice the best.
// While the storage queues them, or the walk lists no faster than they
// read, fewer may do as well.
static void try_another(Concurrency& c, const ReadsSeen& seen)
{
    bool busy = seen.mean_in_flight >= BUSY * c.best;
    bool spare = seen.busy_processors < PROCESSORS_BUSY;
    bool queueing = seen.latency > QUEUEING * seen.quickest;
    double keeping_up = std::ceil(seen.walk_rate * seen.latency);
    bool behind = seen.walk_rate == 0 || keeping_up > RATE_GAIN * c.best;
    int fewest = std::clamp(SLOW_START, c.quick, c.most);
    if (busy && spare && !queueing && behind) {
        double more = seen.walk_rate > 0 ? keeping_up : 2.0 * c.best;
        c.target = static_cast<int>(std::min<double>(more, c.most));
    } else if ((queueing || !busy) && c.best / 2 >= fewest) {
        c.target = c.best / 2;
    }
}

void judge_stretch(Concurrency& c, const ReadsSeen& seen)
{
    if (seen.waited < WAITED_SHARE * seen.reads) { // the processors set the pace again
        c.slow = false;
        c.target = c.quick;
        return;
    }
    if (!c.slow) { // reads began to wait: start where disks and shares both pay
        c.slow = true;
        c.best = c.target = std::max(SLOW_START, c.quick);
        c.best_rate = 0;
        c.hold = 0;
        c.patience = 1;
        return;
    }
    // While the budget allows fewer than the best, it sets the pace, not the
    // storage: nothing is learnt until it allows them again.
    if (seen.latency <= 0 || c.most < c.best)
        return;
    // The rate by Little's law, from the reads' own figures. Counted over the
    // stretch's time it fell short after a rise: the reads are counted in
    // order, in bursts, and the first of them began under the last target.
    double rate = seen.mean_in_flight / seen.latency;
    if (c.target != c.best) {
        if (!tried(c, rate))
            return;
    } else {
        c.best_rate = c.best_rate > 0 ? (c.best_rate + rate) / 2 : rate;
        if (c.hold > 0) {
            c.hold--;
            return;
        }
    }
    try_another(c, seen);
}
