// A listing's life, on the walk's thread alone: opened by the walk, held by
// each of its files until their rows go out, and closed when the walk has
// left it and the last of them has gone. While the walk is deeper than the
// budget allows, an idle listing on its path gives up its descriptor and
// takes it up again when the walk comes back to it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "run/budget.h"

struct Listing {
    DirListing* dir;
    DirId id;
    std::size_t path_len; // the walk's path to it is this long
    // The walk while it is in the directory, and each file of it queued
    // whose row has not gone out.
    int users = 1;
    bool counted = false;   // its descriptor is counted in the budget
    bool broken = false;    // it could not be taken up again: the rest is lost
    std::uint64_t last = 0; // the place after its last file queued
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
