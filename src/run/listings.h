// A listing's life: opened by the walk, shared with the readers of its
// files, and closed by whichever lets go of it last, the walk leaving it or
// the read of its last file. While the walk is deeper than the budget
// allows, an idle listing on its path gives up its descriptor and takes it
// up again when the walk comes back to it.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/platform.h"
#include "run/budget.h"

struct Listing {
    DirListing* dir;
    DirId id;
    std::size_t path_len; // the walk's path to it is this long
    // The walk while it is in the directory, and each file of it queued and
    // not yet read.
    std::atomic<int> users{1};
    bool counted = false; // its descriptor is counted in the budget
};

// Takes over an open listing of the directory id, with the walk as its one
// user.
Listing* adopt_listing(Budget& budget, DirListing* dir, DirId id, std::size_t path_len);

// A file of the listing is queued for reading.
void use_listing(Listing* listing);

// The walk has left the listing, or one of its files has been read: closes
// it when that was the last user. Safe on any thread.
void stop_using(Budget& budget, Listing* listing);

// Gives up the descriptor of a listing that the walk is in but no read
// needs; false when it has none or a read still needs it.
bool release_if_idle(Budget& budget, Listing* listing);

// Takes up a released listing again (see take_up_listing).
bool take_up(Budget& budget, Listing* listing, const Listing* child, int* error);
