// Every descriptor the tool holds counts against one budget, taken from the
// system at the start: the walk's listings, those of directories whose rows
// have not all gone out, and the files being read. Half of it, or as much
// as reads can use, is for reads; the rest for listings. Reads in flight
// are the readers' permits, which the walk keeps within reads_allowed.
//
// A listing is opened by the walk, held by each of its files until their
// rows go out, and closed when the walk has left it and the last of them
// has gone. While the walk is deeper than the budget allows, an idle
// listing on its path gives up its descriptor and takes it up again when
// the walk comes back to it. All of it is the walk's thread's alone.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

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

struct Listing {
    DirListing* dir;
    DirId id;
    std::size_t path_len; // the walk's path to it is this long
    // The walk while it is in the directory, and each file of it queued
    // whose row has not gone out.
    int users = 1;
    bool counted = false;    // its descriptor is counted in the budget
    bool broken = false;     // it could not be taken up again: the rest is lost
    bool below_link = false; // the walk came to it through a link
    std::uint64_t last = 0;  // the place after its last file queued
};

// Takes over an open listing of the directory id, with the walk as its one
// user.
Listing* adopt_listing(Budget& budget, DirListing* dir, DirId id, std::size_t path_len);

// A file of the listing is queued at place.
void use_listing(Listing* listing, std::uint64_t place);

// The walk has left the listing, or the row of one of its files has gone
// out: closes it when that was the last user.
void stop_using(Budget& budget, Listing* listing);

// Gives up the descriptor of a listing that the walk is in but no queued
// file needs; false when it has none or a file still needs it.
bool release_if_idle(Budget& budget, Listing* listing);

// Takes up a released listing again (see take_up_listing).
bool take_up(Budget& budget, Listing* listing, const Listing* child, int* error);
