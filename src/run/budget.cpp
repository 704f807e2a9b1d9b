#include "run/budget.h"

#include <algorithm>

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
