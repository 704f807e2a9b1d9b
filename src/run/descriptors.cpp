#include "run/descriptors.h"

#include <algorithm>

#include "run/tuning.h"

void set_limit(Budget& budget, int given)
{
    if (!given)
        given = descriptor_limit(DESCRIPTORS_WANTED) - DESCRIPTORS_RESERVED;
    budget.initial = std::max(given, DESCRIPTORS_MIN);
    budget.limit = budget.initial;
}

int reads_allowed(const Budget& budget)
{
    return std::clamp(budget.limit / 2, 1, MAX_READS);
}

int listings_allowed(const Budget& budget)
{
    return budget.limit - reads_allowed(budget);
}

void lower_limit(Budget& budget, int reads_in_flight)
{
    budget.shortages++;
    budget.limit =
        std::min(budget.limit, std::max(budget.listings + reads_in_flight, DESCRIPTORS_MIN));
}

void regain_limit(Budget& budget, unsigned* seen)
{
    if (budget.shortages == *seen)
        budget.limit = budget.initial;
    *seen = budget.shortages;
}

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
