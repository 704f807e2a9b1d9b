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
// and a slot of the window. 32 threads at once were the best on a cold
// disk, 128 on a share answering in 1 to 4 ms.
constexpr int MAX_READS = 256;

// Items queued and not yet gone out: memory stays bounded however large the
// tree. Beyond 256 nothing was gained warm or cold on the local disk.
constexpr std::uint64_t WINDOW = 256;

// A sleeping reader is woken once this many files wait: woken for each, the
// readers of a warm cache spent more time waking than reading.
constexpr std::uint64_t WAKE_BATCH = 8;

// A read this slow waited for the storage, not the processor: a warm read
// takes 3 to 6 us, a cold one on the local disk 150 us and more.
constexpr std::chrono::microseconds SLOW_READ{50};

// Once more than a few reads, and one in eight or more, were that slow, the
// spare readers start, each slow read waking one of them. On a warm cache,
// where only a preempted read is slow, they never start.
constexpr std::uint64_t SLOW_READS_BEFORE_SPARES = 8;
constexpr unsigned SPARE_READERS = 24;
