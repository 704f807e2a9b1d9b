// How many reads to keep in flight. While reads are quick the processors
// are what counts, one read each. While they wait for the storage, more in
// flight finish more files a second (Little's law: in flight = rate x
// latency) up to what the storage serves at once, and fewer past it: the
// target doubles while that raises the rate by a good part, halves while
// that loses little (down to where it started), tries again now and then,
// and judges from the latest reads only. When
// reads turn quick again the target falls back to the processors.
#pragma once

// What the reads of one stretch came to.
struct ReadsSeen {
    int reads;
    int slow; // of them, waited for the storage
    double seconds;
    double mean_in_flight;
    double busy_processors; // of those the process may use, the share it kept busy
};

struct Concurrency {
    int processors = 1;
    int most = 1;      // what the budget allows
    int quick = 1;     // in flight while reads are quick: a processor each, within most
    int target = 1;    // in flight now
    bool slow = false; // reads wait for the storage
    int best = 0;      // the target with the best recent rate, and that rate
    double best_rate = 0;
    int hold = 0; // stretches to stay at the best before trying again
    int patience = 1;
};

Concurrency initial_concurrency(int processors, int most);

// The budget allows this many reads in flight from now on; the target may
// be more, and is again once the budget allows it.
void set_most(Concurrency& c, int most);

// Reads in the next stretch, at the rate of the last: enough that one slow
// read does not decide it, and a stretch lasts long enough to tell.
int stretch_reads(const Concurrency& c, double rate);

void adjust(Concurrency& c, const ReadsSeen& seen);
