#include "run/waits.h"

#include <cstdint>

#include "run/tuning.h"

// The thread's count of waits when it last looked. A quick read seldom
// waits, so the count is looked at after slow reads only, and after sleeps.
static thread_local std::uint64_t waits_seen = 0;

void forget_waits()
{
    thread_waits(&waits_seen);
}

// Where the system keeps no count, a slow read is taken to have waited.
static bool waited_since_last_look()
{
    std::uint64_t before = waits_seen;
    return !thread_waits(&waits_seen) || waits_seen != before;
}

bool read_and_judge(void*, const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                    FileHead* out)
{
    double start = wall_seconds();
    bool opened = read_file_head(file, head, n, random, out);
    out->ended = wall_seconds();
    out->seconds = out->ended - start;
    out->waited = out->seconds > SLOW_READ && waited_since_last_look();
    return opened;
}
