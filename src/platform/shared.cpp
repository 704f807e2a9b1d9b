#include "platform/shared.h"

#include <atomic>
#include <chrono>

bool has_saved(const SavedEntries& saved)
{
    return saved.next < saved.entries.size();
}

bool next_raw_entry(DirListing* dir, RawEntry* entry, int* error)
{
    *error = 0;
    if (has_live_listing(dir))
        return next_live_entry(dir, entry, error);
    SavedEntries& saved = saved_entries(dir);
    if (!has_saved(saved)) {
        *error = saved.error;
        return false;
    }
    const SavedEntries::Entry& e = saved.entries[saved.next++];
    *entry = {saved.names.data() + e.offset, e.bytes, e.kind};
    return true;
}

void release_listing(DirListing* dir)
{
    SavedEntries& saved = saved_entries(dir);
    RawEntry e;
    while (has_live_listing(dir) && next_live_entry(dir, &e, &saved.error)) {
        saved.entries.push_back({saved.names.size(), e.bytes, e.kind});
        saved.names.append(static_cast<const char*>(e.name), e.bytes);
    }
    give_up_descriptor(dir);
}

double wall_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What interrupted the run, or 0. Written by the handler, on whichever
// thread it runs (on POSIX a reader's as often as the walk's, on Windows
// a thread of its own); read by the walk. A lock-free atomic is safe both
// in a signal handler and across threads, as volatile alone is not.
static std::atomic<int> interrupted_by{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler may not take a lock");

bool note_interruption(int what)
{
    int none = 0;
    return interrupted_by.compare_exchange_strong(none, what);
}

int interruption()
{
    return interrupted_by.load();
}

bool interrupted()
{
    return interruption() != 0;
}
