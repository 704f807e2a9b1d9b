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

// A signal only sets a flag: the sleeping walk looks at it this often, so
// that an interrupted run ends soon even while a read hangs.
constexpr std::chrono::milliseconds INTERRUPTION_POLL{50};

// Items queued and not yet gone out. While reads wait for the storage the
// walk must list far ahead of them, or it stalls behind the slowest; while
// they are quick, a reader that another program preempts holds up the
// oldest item for a time slice, and the walk goes on meanwhile (warm,
// 100,000 recordings beside two busy loops: 0.89 of the one-thread floor
// against 0.99 with 256; idle the same). 4,096 items hold 40 directories of
// 100 recordings, and come to about 2 MiB.
constexpr std::uint64_t WINDOW = 4096;

// A sleeping reader is woken once this many files wait: woken for each, the
// readers of a warm cache spent more time waking than reading, and on a cold
// disk the walk, waking one for every file, fell behind them.
constexpr std::uint64_t WAKE_BATCH = 8;

// While reads wait for the storage, a walk waiting for rows to go out
// sleeps until the 64th from the oldest is read, rather than wake for each.
constexpr std::uint64_t SLOW_BATCH = 64;

// A read this slow may have waited for the storage: a warm read takes 3 to
// 6 us, a cold one on the local disk 150 us and more, one on a share 3
// requests of 1 ms or more. Whether it did is told by the thread having
// given up its processor meanwhile, which a read only preempted by another
// program has not.
constexpr double SLOW_READ = 50e-6; // seconds

// Reads are judged in stretches of at least this many and twice the
// target: enough that one odd read does not decide.
constexpr int STRETCH_READS = 32;

// ... and lasting at least this long: over 10 ms the rate on a cold disk
// (then taken as reads over the stretch's time) still swung by 40% from one
// stretch to the next, over 30 ms by about 12%; and the system counts the
// processors' busy time in hundredths of a second. Reads are counted as
// their rows go out, and rows go out in bursts once a straggler is done: a
// stretch counted out in one burst would otherwise seem to have taken no
// time at all.
constexpr double STRETCH_SECONDS = 0.030;

// The first stretch is one read, with no least time: until it ends one
// read is in flight, the walk listing meanwhile, and on a share it takes
// milliseconds. One read that waited was already enough to start more (one
// in eight is, later). On slowfs at 4 ms (one-trip listings) 8 reads took
// 128 ms of a 0.5 s run; one takes 38 ms, of which the walk's first
// listings are 25.
constexpr int FIRST_STRETCH = 1;

// A stretch in which more than this share of the reads waited for the
// storage is slow; in a quicker one the processors set the pace.
constexpr double WAITED_SHARE = 1.0 / 8;

// Reads in flight when they start to wait for the storage, and the fewest
// while they do. On the cold local disk 32 read 100,000 sparse recordings
// in 3.4 s against 4.4 s at 64, and 16 was about 8% slower than 32. A share
// answering in 1 ms rewards 64 (4,000 recordings in 0.52 s against 0.62 s
// at 32), which the target tries once the processors have time to spare.
constexpr int SLOW_START = 32;

// More reads in flight are tried only while the storage does not queue
// them: while a read takes on average no more than this many times the
// quickest that waited. On the cold local disk, at 32 in flight, reads
// took 0.4 to 0.6 ms and the quickest 50 to 70 us; on a share answering in
// 1 or 4 ms, 1.0 to 1.3 times the quickest until the processors filled
// (2.3 times at 121 in flight at 1 ms).
constexpr double QUEUEING = 2;

// ... and while those allowed are kept busy:
// three quarters of them in flight on average.
constexpr double BUSY = 0.75;

// ... and while the processors have time to spare, all programs counted:
// on a cold disk, 2 processors were 85% busy with the kernel's work for 32
// reads in flight, and 64 were slower; on a share, under 30%. Beside other
// programs that fill the processors, more readers would only take time
// from them.
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
