// Every descriptor the tool holds counts against one budget, taken from the
// system at the start: the walk's listings, those of directories whose rows
// have not all gone out, and the files being read. Half of it, or as much
// as reads can use, is for reads; the rest for listings. The walk's alone:
// reads in flight are the readers' permits, which the walk keeps within
// reads_allowed.
#pragma once

struct Budget {
    int limit = 0;   // what the tool may hold
    int initial = 0; // and what it took from the system
    int listings = 0;
    unsigned shortages = 0; // opens that found none free
};

// Sets the limit: the system's, raised where it allows, less what others
// need; or the given one.
void set_limit(Budget& budget, int given);

int reads_allowed(const Budget& budget);
int listings_allowed(const Budget& budget);

// An open failed for want of descriptors: the system gives no more than the
// tool holds now, so that is its limit for now.
void lower_limit(Budget& budget, int reads_in_flight);

// A shortage may pass (the system's table frees up as other processes
// close files): after a stretch without one since *seen, the limit is the
// initial one again. Should the shortage last, the next open that finds
// none free lowers it again, and is tried again.
void regain_limit(Budget& budget, unsigned* seen);
