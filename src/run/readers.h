// Candidate files are read on a pool of threads while the walk goes on
// listing, because on a cold cache or a network share each read waits for
// the storage: many in flight cost little more than one. What they hold
// goes out in exactly the walk's order: each row and progress dot after
// everything queued before it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "run/budget.h"
#include "run/listings.h"
#include "run/stretch.h"

// How a file's head is read, and whether the read waited for the storage:
// read_and_judge, or a test's stand-in.
using ReadHead = bool (*)(const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                          FileHead* out);

// Why a run stopped before its end: a row could not be written, or
// descriptors ran short at path and nothing more could be given back.
struct Failure {
    int error = 0;
    bool writing = false;
    std::string path;
};

// What the readers decided, for a test to look at once the walk is over.
struct ReadersTrace {
    std::vector<int> targets; // reads in flight, at the start and after each stretch
    int threads_started = 0;
    int walk_slept = 0; // times the walk slept until reads were done
};

struct ReadersSetup {
    std::FILE* out;
    std::FILE* progress;
    Budget* budget;
    Failure* failure; // the walk's: set here, and nothing more goes out
    ReadHead read;
    ReadersClock clock;
    unsigned processors;
    // When a read finds no descriptor free and no read in flight will give
    // one back, the walk releases a listing it can do without, if it can.
    bool (*release_idle_listing)(void* walk);
    void* walk;
    ReadersTrace* trace; // or null
};

struct Readers;

struct StopReaders {
    // Stops the threads once their reads are done, stops using what is
    // still queued and frees everything, whether or not all went out.
    void operator()(Readers* readers) const;
};

std::unique_ptr<Readers, StopReaders> start_readers(const ReadersSetup& setup);

// Queues a prepared file of listing, printed as path. Waits while the
// window of items in flight is full.
void queue_file(Readers* readers, Listing* listing, const FileSpec& file, const std::string& path);

// Queues the progress dot of a finished subdirectory.
void queue_dot(Readers* readers);

// Writes out at least the oldest item, reading it or waiting for it as
// needed; false when nothing is queued.
bool write_some(Readers* readers);

// Writes out everything queued, unless the run has failed.
void write_all(Readers* readers);

// Waits until one of the reads in flight ends; false when there is none.
bool wait_for_a_read(Readers* readers);

int rows_written(const Readers* readers);
