#include "run/budget.h"

#include <algorithm>
#include <cerrno>

#include "platform/platform.h"
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
    return std::clamp(budget.limit.load() / 2, 1, MAX_READS);
}

int listings_allowed(const Budget& budget)
{
    return budget.limit.load() - reads_allowed(budget);
}

bool begin_read(Budget& budget, int cap)
{
    int most = std::min(cap, reads_allowed(budget));
    int reads = budget.reads.load();
    while (reads < most)
        if (budget.reads.compare_exchange_weak(reads, reads + 1))
            return true;
    return false;
}

void end_read(Budget& budget)
{
    budget.reads--;
}

void lower_limit(Budget& budget)
{
    budget.shortages++;
    int held = std::max(budget.listings.load() + budget.reads.load(), DESCRIPTORS_MIN);
    int limit = budget.limit.load();
    while (held < limit && !budget.limit.compare_exchange_weak(limit, held)) {
    }
}

void regain_limit(Budget& budget, unsigned* seen)
{
    unsigned shortages = budget.shortages.load();
    if (shortages == *seen)
        budget.limit = budget.initial;
    *seen = shortages;
}

bool is_shortage(int error)
{
    return error == EMFILE || error == ENFILE;
}
