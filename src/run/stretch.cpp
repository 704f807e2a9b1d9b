#include "run/stretch.h"

void begin_first_stretch(Stretch& s, const ReadersClock& clock, int size)
{
    s.size = size;
    s.start = clock.wall();
    s.processors = clock.processors();
}

bool count_read(Stretch& s, const FileHead& read, int in_flight)
{
    constexpr auto relaxed = std::memory_order_relaxed; // read under the lock
    if (s.weigh.load(relaxed)) {
        s.in_flight.fetch_add(in_flight, relaxed);
        s.latency.fetch_add(static_cast<long long>(read.seconds * 1e6), relaxed);
    }
    if (read.waited)
        s.waited.fetch_add(1, relaxed);
    return s.reads.fetch_add(1, relaxed) + 1 >= s.size.load(relaxed);
}

// The share of the processors' time that was busy: all programs' where the
// system says, else this process's own over the processors it may use.
static double busy_share(ProcessorTimes from, ProcessorTimes to, double seconds,
                         unsigned processors)
{
    double all = to.all > from.all ? to.all - from.all : seconds * processors;
    return all > 0 ? (to.busy - from.busy) / all : 0;
}

ReadsSeen take_stretch(Stretch& s, const ReadersClock& clock, unsigned processors,
                       WalkProgress walk)
{
    double now = clock.wall();
    ProcessorTimes processors_now = clock.processors();
    ReadsSeen seen;
    seen.reads = s.reads.exchange(0);
    seen.waited = s.waited.exchange(0);
    seen.seconds = now - s.start;
    seen.latency = static_cast<double>(s.latency.exchange(0)) / 1e6 / seen.reads;
    seen.mean_in_flight = static_cast<double>(s.in_flight.exchange(0)) / seen.reads;
    double listing = seen.seconds - (walk.held_up - s.walk.held_up);
    seen.walk_rate = listing > 0 ? static_cast<double>(walk.queued - s.walk.queued) / listing : 0;
    seen.busy_processors = busy_share(s.processors, processors_now, seen.seconds, processors);
    s.start = now;
    s.processors = processors_now;
    s.walk = walk;
    return seen;
}
