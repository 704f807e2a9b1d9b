// Every descriptor the tool holds counts against one budget, taken from the
// system at the start: the listings of the walk and of directories whose
// files are still being read, and the files being read. Half of it, or as
// much as reads can use, is for reads; the rest for listings.
#pragma once

#include <atomic>

struct Budget {
    std::atomic<int> limit{0}; // what the tool may hold
    std::atomic<int> listings{0};
    std::atomic<int> reads{0}; // files open or about to be
};

// The system's limit, raised where it allows, less what others need.
int initial_limit();

int reads_allowed(const Budget& budget);
int listings_allowed(const Budget& budget);

// Takes a read's descriptor from the budget, when fewer than cap reads
// (and fewer than the budget allows) are in flight.
bool begin_read(Budget& budget, int cap);
void end_read(Budget& budget);

// An open failed for want of descriptors: the system gives no more than the
// tool holds now, so that is its limit from now on.
void lower_limit(Budget& budget);

// EMFILE or ENFILE: the open may succeed once a descriptor is given back.
bool is_shortage(int error);
