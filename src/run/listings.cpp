#include "run/listings.h"

// The budget counts a listing's descriptor from when it has one to when it
// gives it up or is closed.
static void recount(Budget& budget, Listing* listing)
{
    bool holds = holds_descriptor(listing->dir);
    if (holds != listing->counted) {
        budget.listings += holds ? 1 : -1;
        listing->counted = holds;
    }
}

Listing* adopt_listing(Budget& budget, DirListing* dir, DirId id, std::size_t path_len)
{
    Listing* listing = new Listing{dir, id, path_len};
    recount(budget, listing);
    return listing;
}

void use_listing(Listing* listing, std::uint64_t place)
{
    listing->users++;
    listing->last = place + 1;
}

void stop_using(Budget& budget, Listing* listing)
{
    if (--listing->users > 0)
        return;
    if (listing->counted)
        budget.listings--;
    close_listing(listing->dir);
    delete listing;
}

bool release_if_idle(Budget& budget, Listing* listing)
{
    if (!listing->counted || listing->users > 1)
        return false;
    release_listing(listing->dir);
    recount(budget, listing);
    return true;
}

bool take_up(Budget& budget, Listing* listing, const Listing* child, int* error)
{
    bool ok = take_up_listing(listing->dir, child ? child->dir : nullptr, error);
    recount(budget, listing);
    return ok;
}
