// Reads are judged in stretches: the walk counts each read as its row goes
// out (or as it makes the read itself), and the read that completes a
// stretch closes it: what the stretch came to, from the counts and the
// readers' clock, and the next stretch begun. The walk's alone.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "run/concurrency.h"

// The readers' clock: wall time, and the processors' time. Tests put
// theirs, with what they are given.
struct ReadersClock {
    double (*wall)(void* context) = [](void*) { return wall_seconds(); };
    ProcessorTimes (*processors)(void* context) = [](void*) { return processor_times(); };
    void* context = nullptr;
};

// Where the walk stands when a stretch closes: the files it has queued so
// far and the seconds it has slept until reads were done.
struct WalkProgress {
    std::uint64_t queued;
    double held_up;
};

// A stretch's time is the reads' own, from the first of them to end to the
// last: they are counted as their rows go out, in bursts once a straggler
// is done, and the walk's clock would make a stretch counted in one burst
// seem to have taken no time; a read tried again much later makes one
// stretch seem slow, not every one after it. The walk's clock measures the
// walk's own rate and the processors' load.
struct Stretch {
    int size = 0;          // reads at least
    double least_time = 0; // and seconds
    int reads = 0, waited = 0;
    double in_flight = 0; // summed over its reads, as each ended
    double latency = 0;   // the reads' own time, summed
    double quickest = 0;  // of those that waited, the quickest's; 0 while none has
    double first = 0;     // when its earliest read ended
    double last = 0;      // and its latest
    double walk_start = 0;
    ProcessorTimes processors{};
    WalkProgress walk{0, 0};
};

void begin_first_stretch(Stretch& s, const ReadersClock& clock, int size);

// Counts a read that ended at `ended` with in_flight reads in flight. True
// when the stretch is complete: its reads counted and its time gone by.
bool count_read(Stretch& s, const FileHead& read, int in_flight, double ended);

// What the complete stretch came to; the counts begin again from there.
ReadsSeen take_stretch(Stretch& s, const ReadersClock& clock, unsigned processors,
                       WalkProgress walk);
