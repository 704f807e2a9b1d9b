// Reads are judged in stretches: each read is counted as it ends, on
// whichever thread, without a lock, and the read that completes a stretch
// closes it: what the stretch came to, from the counts and the readers'
// clock, and the next stretch begun.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/platform.h"
#include "run/concurrency.h"

// The readers' clock: wall time, and the processors' time. Tests put theirs.
struct ReadersClock {
    double (*wall)() = wall_seconds;
    ProcessorTimes (*processors)() = processor_times;
};

// Where the stretch stands when it closes: the files the walk has queued so
// far and the seconds it has waited for reads.
struct WalkProgress {
    std::uint64_t queued;
    double held_up;
};

struct Stretch {
    std::atomic<int> size{0};
    std::atomic<int> reads{0}, waited{0};
    // Only while reads wait for the storage are they weighed: how many were
    // in flight as each ended, and their own time, summed in microseconds.
    // Counted on every read, these two cost a warm run on two processors a
    // tenth of its time, their cache line passing to and fro.
    std::atomic<bool> weigh{false};
    std::atomic<long long> in_flight{0};
    std::atomic<long long> latency{0};
    // Where the stretch began; only the read that closes it, under the lock.
    std::mutex closing;
    double start = 0;
    ProcessorTimes processors{};
    WalkProgress walk{0, 0};
};

void begin_first_stretch(Stretch& s, const ReadersClock& clock, int size);

// Counts a read that ended with in_flight reads in flight. True when the
// stretch is complete.
bool count_read(Stretch& s, const FileHead& read, int in_flight);

// What the stretch came to; the counts begin again from there.
ReadsSeen take_stretch(Stretch& s, const ReadersClock& clock, unsigned processors,
                       WalkProgress walk);

// Closes a complete stretch, hands what it came to to judge, and begins the
// next, of the size judge returns; all under the stretch's lock. False when
// another read is closing it.
template <typename Judge>
bool close_stretch(Stretch& s, const ReadersClock& clock, unsigned processors, WalkProgress walk,
                   Judge judge)
{
    std::unique_lock<std::mutex> lock(s.closing, std::try_to_lock);
    if (!lock || s.reads.load() < s.size.load())
        return false;
    s.size = judge(take_stretch(s, clock, processors, walk));
    return true;
}
