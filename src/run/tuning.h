// The figures that tune how the catalogue shares out the machine, in one
// place, each with what it was measured on (a 2-core VM, ext4 on a virtio
// disk, unless said otherwise).
#pragma once

#include <chrono>
#include <cstdint>

// Descriptors asked of the system: the soft limit is raised towards this
// where the hard limit allows. Enough for every read in flight and a walk
// path as deep as any real tree; more only costs kernel memory.
constexpr int DESCRIPTORS_WANTED = 4096;

// Left aside for the standard streams and whatever the C library opens.
constexpr int DESCRIPTORS_RESERVED = 8;

// The least budget that walks anything: a listing, its subdirectory and a
// file. A system that gives less stops the run with a message.
constexpr int DESCRIPTORS_MIN = 3;

// Reads in flight at most, however large the budget: each has a descriptor
// and a slot of the window. The best threaded floor was 32 readers on a cold
// disk, 64 to 256 on a share answering in 1 to 4 ms.
constexpr int MAX_READS = 256;

// Items queued and not yet gone out. While reads are quick, 256: beyond it
// nothing was gained warm. While they wait for the storage the walk must
// list far ahead of the reads, or it stalls behind the slowest: 4,096
// items hold 40 directories of 100 recordings, and come to about 2 MiB.
constexpr std::uint64_t WINDOW = 256;
constexpr std::uint64_t SLOW_WINDOW = 4096;

// A sleeping reader is woken once this many files wait: woken for each, the
// readers of a warm cache spent more time waking than reading, and on a cold
// disk the walk, waking one for every file, fell behind them.
constexpr std::uint64_t WAKE_BATCH = 8;

// While reads wait for the storage, a walk waiting for rows to go out
// sleeps until the 64th from the oldest is read, rather than wake for each.
constexpr std::uint64_t SLOW_BATCH = 64;

// A read this slow waited for the storage, not the processor: a warm read
// takes 3 to 6 us, a cold one on the local disk 150 us and more, one on a
// share 3 requests of 1 ms or more.
constexpr std::chrono::microseconds SLOW_READ{50};

// The reads are judged in stretches of at least 32 and twice the target,
// and as many as the last stretch's rate gives in 30 ms: over 10 ms the
// rate on a cold disk still swung by 40% from one stretch to the next, over
// 30 ms by about 12%. A stretch
// with fewer than one read in 8 slow is quick (on a warm cache only a
// preempted read is slow).
constexpr int STRETCH_READS = 32;

// The first stretch is shorter: on a share its reads take milliseconds
// each, and until it ends only one a processor is in flight.
constexpr int FIRST_STRETCH = 8;
constexpr std::chrono::milliseconds STRETCH_TIME{30};
constexpr int SLOW_SHARE = 8;

// Reads in flight when they start to wait for the storage, and the fewest
// while they do: on a cold disk 32 were the best, 16 about 8% slower and
// 64 slower still; a share climbs from there.
constexpr int SLOW_START = 32;

// Twice as many reads in flight are tried only while those allowed are
// busy (three quarters of them in flight on average), and kept when the
// rate rose by a quarter: on a share it doubles, on a cold disk it rose by
// less than a tenth and more readers only took processor time. Half as many
// are kept when the rate fell by less than a tenth. After tries that
// failed, the next waits up to 16 stretches.
constexpr double BUSY = 0.75;

// The processors are busy once this share of their time goes to the
// catalogue: on a cold disk, 2 processors were 85% busy with the kernel's
// work for 32 reads in flight, and 64 were slower; on a share, under 30%.
constexpr double PROCESSORS_BUSY = 0.7;
constexpr double RATE_GAIN = 1.25;
constexpr double KEEP_FEWER = 0.9;
constexpr int MOST_PATIENCE = 16;
