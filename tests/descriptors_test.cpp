// The descriptor budget: on a real directory, a listing counts from when it
// has a descriptor to when it gives it up, is taken up again or closes; and
// its limit after a shortage.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "run/descriptors.h"

TEST(Descriptors, ListingCountsWhileItHoldsOne)
{
    char dir[] = "/tmp/aucatalog-test-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::ofstream(std::string(dir) + "/r.au").close(); // an entry left to take it up for
    Budget budget;
    set_limit(budget, 10);
    DirId id;
    int error = 0;
    Listing* listing = adopt_listing(budget, open_root({dir, dir}, &id, &error), id, 0);
    EXPECT_EQ(budget.listings, 1);
    use_listing(listing, 7); // a file of it queued at place 7 still needs it
    EXPECT_FALSE(release_if_idle(budget, listing));
    EXPECT_EQ(listing->last, 8u);
    stop_using(budget, listing); // its row has gone out
    EXPECT_TRUE(release_if_idle(budget, listing));
    EXPECT_EQ(budget.listings, 0);
    EXPECT_TRUE(take_up(budget, listing, nullptr, &error));
    EXPECT_EQ(budget.listings, 1);
    stop_using(budget, listing); // the walk has left it
    EXPECT_EQ(budget.listings, 0);
    std::filesystem::remove_all(dir);
}

// After a shortage the limit is what the tool held then, and it comes back
// once a whole stretch has passed without another.
TEST(Descriptors, LimitComesBackAfterAStretchWithoutShortage)
{
    Budget budget;
    set_limit(budget, 100);
    unsigned seen = 0;
    budget.listings = 4;
    lower_limit(budget, 5);
    EXPECT_EQ(budget.limit, 9);
    regain_limit(budget, &seen); // the stretch the shortage came in
    EXPECT_EQ(budget.limit, 9);
    regain_limit(budget, &seen);
    EXPECT_EQ(budget.limit, 100);
}
