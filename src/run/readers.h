// Candidate files are read on a pool of threads while the walk goes on
// listing, because on a cold cache or a network share each read waits for
// the storage: many in flight cost little more than one.
//
// The walk's thread queues items in a ring and writes them out in order;
// a reader only takes a permit, claims the oldest file not yet claimed,
// reads it, gives the permit back, makes its row and marks the item done.
// Everything else is the walk's (walk.cpp). What the two share is in
// readers.cpp alone.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"

// How a file's head is read, whether the read waited for the storage and
// when it ended: read_and_judge, or a test's stand-in, with what it was
// given.
struct ReadSeam {
    bool (*read)(void* context, const FileSpec& file, unsigned char* head, std::size_t n,
                 bool random, FileHead* out);
    void* context;
};

struct Listing;

enum ItemKind {
    ITEM_FILE,    // a candidate file: its row, if it is a recording
    ITEM_DOT,     // the progress dot of a finished subdirectory
    ITEM_FAILURE, // a place that could not be read: `path`, `read.error`
};

// One item of the ring. The walk fills in what comes before `row` and
// queues it; whoever claims a file fills in the rest and marks it done.
struct Slot {
    ItemKind kind;
    FileSpec file;
    std::string path;
    Listing* listing; // the walk's own: the file's listing, held until the row goes out
    std::string row;  // empty when the file is no recording
    FileHead read;    // what the read found
    int in_flight;    // reads in flight as it ended, itself included
    bool no_memory;   // the row could not be made
    // Written by whoever read the file, once all of the above is; read by
    // the walk before it looks at any of it.
    std::atomic<bool> done;
};

struct Readers;

constexpr std::uint64_t NO_PLACE = UINT64_MAX;

// Starts no thread yet. The walk, asleep, looks for an interruption every
// poll.
Readers* make_readers(ReadSeam seam, std::chrono::milliseconds poll);

// Stops the threads once their reads are over; the slots stay until freed.
void stop_readers(Readers* r);
void free_readers(Readers* r);

// Lets the threads go without waiting for their reads: the process is
// about to end. Nothing is freed.
void abandon_readers(Readers* r);

// The ring's slots, WINDOW of them: place p is at p % WINDOW.
Slot* slots_of(Readers* r);

// The walk has filled in the file's slot at place: readers may claim it.
void publish(Readers* r, std::uint64_t place);

// Reads the oldest file not yet claimed, with a permit, on the calling
// thread (a reader, or the walk helping), and returns its place; NO_PLACE
// when there is none, or no permit free.
std::uint64_t read_next(Readers* r);

// The walk reads the file at place again, itself: it was refused for want
// of descriptors. False when no permit is free.
bool read_again(Readers* r, std::uint64_t place);

// With no reader running, the walk reads a file at once, itself, into a
// slot of its own: no permit, no copies into the ring.
void read_at_once(Readers* r, const FileSpec& file, const std::string& path, Slot& s);

// The walk sleeps until the item at place is done, or the run is
// interrupted.
void sleep_until_done(Readers* r, std::uint64_t place);

// The walk sleeps until a read in flight ends, or the run is interrupted;
// false when no read is in flight, or the run was interrupted.
bool sleep_until_a_read_ends(Readers* r);

// Reads in flight from now on: at most cap at once; with slow, each asks
// the storage for the header alone.
void set_cap(Readers* r, int cap, bool slow);
int cap_of(const Readers* r);
int reads_in_flight(const Readers* r);

// Files queued and not yet claimed.
std::uint64_t unclaimed(const Readers* r);

// Wakes up to n of the readers asleep, of which there are
// sleeping_readers().
void wake_readers(Readers* r, std::uint64_t n);
int sleeping_readers(Readers* r);

// False when the system would start no more threads.
bool start_reader(Readers* r);
