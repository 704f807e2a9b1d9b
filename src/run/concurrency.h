// How many reads to keep in flight, judged from one stretch of reads to the
// next. While reads are quick the processors are what counts, one read
// each. While they wait for the storage, more in flight finish more files a
// second, up to what the storage serves at once, and fewer past it. The
// target starts at the best on a cold local disk (SLOW_START); while the
// processors have time to spare, the reads allowed are kept busy and
// the storage does not queue them, it tries more: as many as keep up with
// the walk by Little's law (in flight = rate x latency) when it lists
// faster than that, twice as many when it queued nothing. It keeps them
// when the rate rose by a good part; while the storage queues the reads or
// the walk does not keep them busy, it halves while that loses little. It
// tries again now and then, and judges from the latest reads only. When
// reads turn quick again the target falls back to the processors.
#pragma once

// What the reads of one stretch came to.
struct ReadsSeen {
    int reads;
    int waited;             // of them, waited for the storage
    double latency;         // a read's own time, on average
    double quickest;        // the quickest read's own time of those that waited
    double mean_in_flight;  // reads in flight as each ended
    double walk_rate;       // files the walk queues a second while it is not held up
    double busy_processors; // of the processors the process may use, the share busy
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

// Reads in the next stretch: enough that one odd read does not decide it.
int stretch_reads(const Concurrency& c);

// Sets the target from what the last stretch saw.
void judge_stretch(Concurrency& c, const ReadsSeen& seen);
