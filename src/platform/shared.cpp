#include "platform/shared.h"

#include <chrono>

#include "platform/platform.h"

void save_entry(SavedEntries& saved, const void* name, std::size_t bytes, unsigned kind)
{
    saved.entries.push_back({saved.names.size(), bytes, kind});
    saved.names.append(static_cast<const char*>(name), bytes);
}

bool next_saved(SavedEntries& saved, const char** name, std::size_t* bytes, unsigned* kind)
{
    if (!has_saved(saved))
        return false;
    const SavedEntries::Entry& e = saved.entries[saved.next++];
    *name = saved.names.data() + e.offset;
    *bytes = e.bytes;
    *kind = e.kind;
    return true;
}

bool has_saved(const SavedEntries& saved)
{
    return saved.next < saved.entries.size();
}

double wall_seconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
