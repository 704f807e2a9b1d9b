// The figures that tune how the catalogue shares out the machine, each
// with what it was measured on (a 2-core VM, ext4 on a virtio disk, unless
// said otherwise; doc/performance.md has the runs).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

// Descriptors asked of the system, where the hard limit allows: enough for
// every read in flight and a walk path as deep as any real tree.
constexpr int DESCRIPTORS_WANTED = 4096;

// Left aside for the standard streams and whatever the C library opens.
constexpr int DESCRIPTORS_RESERVED = 8;

// The least budget that walks anything: a listing, its subdirectory and a
// file. A system that gives less stops the run with a message.
constexpr int DESCRIPTORS_MIN = 3;

// Reads in flight at most: the best threaded floor was 32 readers on a cold
// disk, 64 to 256 on a share answering in 1 to 4 ms.
constexpr int MAX_READS = 256;

// A signal only sets a flag: the sleeping walk looks at it this often, so
// that an interrupted run ends soon even while a read hangs.
constexpr std::chrono::milliseconds INTERRUPTION_POLL{50};

// Items queued and not yet gone out, about 2 MiB. Slow reads need the walk
// to list far ahead of them; quick ones, a reader preempted by another
// program holding up the oldest item for a time slice (bench/run busy,
// 100,000 warm beside two busy loops: 0.44 s against 0.48 s with 256).
constexpr std::uint64_t WINDOW = 4096;

// Rows go out 64 KiB at a time: far fewer writes than rows, as the
// catalogue is meant to be redirected to a file.
constexpr std::size_t OUT_BUFFER = 1 << 16;

// A sleeping reader is woken once this many files wait: woken for each, the
// readers of a warm cache spent more time waking than reading.
constexpr std::uint64_t WAKE_BATCH = 8;

// While reads wait for the storage, the walk waiting for rows to go out
// sleeps until the 64th from the oldest is read, rather than wake for each.
constexpr std::uint64_t SLOW_BATCH = 64;

// A read this slow may have waited for the storage (warm: 3 to 6 us; cold
// disk: 150 us and more; a share: 1 ms and more). It did if the thread gave
// up its processor meanwhile, which one preempted by another program has not.
constexpr double SLOW_READ = 50e-6; // seconds

// Reads are judged in stretches of at least this many and twice the
// target, so that one odd read does not decide...
constexpr int STRETCH_READS = 32;

// ... and lasting at least this long: over 10 ms the rate on a cold disk
// swung by 40% from one stretch to the next, over 30 ms by about 12%; and
// the system counts processor time in hundredths of a second.
constexpr double STRETCH_SECONDS = 0.030;

// The first stretch is one read, with no least time: on a share it takes
// milliseconds, and one read that waited is enough to start more. On slowfs
// at 4 ms, 8 reads took 128 ms of a 0.5 s run; one takes 38.
constexpr int FIRST_STRETCH = 1;

// A stretch in which more than this share of the reads waited for the
// storage is slow; in a quicker one the processors set the pace.
constexpr double WAITED_SHARE = 1.0 / 8;

// Reads in flight when they start to wait for the storage, and the fewest
// while they do: on the cold disk 32 read 100,000 sparse recordings in
// 3.4 s, 64 in 4.4 s, and 16 was 8% slower than 32.
constexpr int SLOW_START = 32;

// More in flight are tried only while a read takes on average no more than
// this many times the quickest that waited: the cold disk queues them (0.4
// to 0.6 ms against 50 to 70 us at 32), a share at 1 or 4 ms did not (1.0
// to 1.3 times until the processors filled).
constexpr double QUEUEING = 2;

// ... and while those allowed are kept busy, three quarters in flight...
constexpr double BUSY = 0.75;

// ... and while the processors, all programs counted, have time to spare:
// 32 reads on a cold disk kept 2 of them 85% busy in the kernel, and 64 were
// slower; on a share, under 30%.
constexpr double PROCESSORS_BUSY = 0.7;

// More in flight are kept when the rate of files read rose by a quarter:
// on a share it doubles with twice as many, on a cold disk it rose by less
// than a tenth.
constexpr double RATE_GAIN = 1.25;

// Fewer in flight are kept when the rate fell by less than a tenth.
constexpr double KEEP_FEWER = 0.9;

// After tries that failed, the next waits twice as many stretches as the
// last, up to 16.
constexpr int MOST_PATIENCE = 16;
