// What the walk's thread owns, and what its two halves call of each other:
// listing the tree (walk.cpp) and the walk's side of the readers' ring,
// queueing and writing out in order (queue.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "run/budget.h"
#include "run/concurrency.h"
#include "run/failures.h"
#include "run/listings.h"
#include "run/readers.h"
#include "run/stretch.h"
#include "run/walk.h"

struct DirIdHash {
    std::size_t operator()(DirId id) const
    {
        return std::hash<std::uint64_t>()(id.file ^ id.volume);
    }
};

struct DirIdEqual {
    bool operator()(DirId a, DirId b) const { return same_directory(a, b); }
};

struct Walk {
    WalkSetup setup;
    unsigned processors;
    std::FILE* out;
    std::FILE* progress;
    Budget budget;
    std::vector<Listing*> listings; // the listings the walk is in, root first
    // Every directory walked so far: memory grows with the directories,
    // never with the files.
    std::unordered_set<DirId, DirIdHash, DirIdEqual> walked;
    std::string path; // of the entry in hand
    Failure failure;
    int failures = 0;           // places that could not be read
    bool dots_open = false;     // a line of progress dots is not ended yet
    bool interrupted = false;   // the run was asked to stop
    Listing* leaving = nullptr; // left, while rows go out before its parent is taken up

    // The ring: items before `written` have gone out, `queued` exist.
    Readers* readers = nullptr;
    Slot* slots = nullptr;
    Slot own; // a file the walk reads at once
    std::uint64_t written = 0, queued = 0;
    std::uint64_t files_queued = 0;
    int rows = 0;

    // How many reads to keep in flight, judged stretch by stretch.
    Stretch stretch;
    Concurrency policy;
    double held_up = 0; // seconds slept until reads were done
    unsigned shortages_seen = 0;
    int threads = 0;              // readers started
    bool no_more_threads = false; // the system would start no more

    Walk(const WalkSetup& s, std::FILE* o, std::FILE* p);
    ~Walk(); // also when the run stopped early, or ran out of memory
};

inline bool failed(const Walk& w)
{
    return w.failure.error != 0;
}

// Once interrupted, the walk takes no new item and waits for no read: what
// is done goes out, in order, and the run ends.
inline bool stop_asked(Walk& w)
{
    return w.interrupted || (w.interrupted = interrupted());
}

// queue.cpp

void start_queue(Walk& w);
void stop_queue(Walk& w);

// Queues a prepared file of listing, printed as the walk's path. Waits
// while the window of items in flight is full.
void queue_file(Walk& w, Listing* listing, const FileSpec& file);

// Queues the progress dot of a finished subdirectory.
void queue_dot(Walk& w);

// Queues the report of a place that could not be read, unless its failure
// is one passed over in silence.
void queue_failure(Walk& w, const std::string& path, int error);

// Writes out at least the oldest item, reading it or waiting for it as
// needed; false when nothing is queued.
bool write_some(Walk& w);

// Writes out every item before place.
void write_through(Walk& w, std::uint64_t place);

// Writes out everything queued, unless the run has failed; once
// interrupted, what is done.
void write_all(Walk& w);

// An open failed for want of descriptors: the budget is what the tool
// holds now.
void lower_limit(Walk& w);

// walk.cpp

// Gives a descriptor back, or waits for one to be: closes listings whose
// rows have gone out (when it may write), gives up a listing the walk can
// do without, or waits for a read in flight. False when it holds nothing
// more it could give back.
bool give_back(Walk& w, bool may_write);

// An open refused for want of descriptors is tried again each time one is
// given back, and once more when the walk holds nothing it could give
// back. Refused then too, the run stops there, for path, after what was
// queued before has gone out.
template <typename Open>
bool open_in_budget(Walk& w, const std::string& path, bool may_write, Open open)
{
    for (bool last_try = false;;) {
        int error = 0;
        if (open(&error))
            return true;
        if (!is_shortage(error) || failed(w) || stop_asked(w))
            return false;
        if (last_try) {
            if (may_write)
                write_all(w);
            if (!failed(w))
                w.failure = {error, false, path};
            return false;
        }
        lower_limit(w);
        last_try = !give_back(w, may_write);
    }
}
