#include "run/stretch.h"

#include <algorithm>

void begin_first_stretch(Stretch& s, const ReadersClock& clock, int size)
{
    s.size = size;
    s.walk_start = clock.wall(clock.context);
    s.processors = clock.processors(clock.context);
}

bool count_read(Stretch& s, const FileHead& read, int in_flight, double ended)
{
    s.in_flight += in_flight;
    s.latency += read.seconds;
    s.waited += read.waited;
    if (read.waited && (s.quickest == 0 || read.seconds < s.quickest))
        s.quickest = read.seconds;
    s.first = s.reads ? std::min(s.first, ended) : ended;
    s.last = s.reads ? std::max(s.last, ended) : ended;
    return ++s.reads >= s.size && s.last - s.first >= s.least_time;
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
    double now = clock.wall(clock.context);
    ProcessorTimes processors_now = clock.processors(clock.context);
    ReadsSeen seen;
    seen.reads = s.reads;
    seen.waited = s.waited;
    seen.latency = s.latency / s.reads;
    seen.quickest = s.quickest;
    seen.mean_in_flight = s.in_flight / s.reads;
    double walked = now - s.walk_start;
    double listing = walked - (walk.held_up - s.walk.held_up);
    seen.walk_rate = listing > 0 ? static_cast<double>(walk.queued - s.walk.queued) / listing : 0;
    seen.busy_processors = busy_share(s.processors, processors_now, walked, processors);
    s.reads = s.waited = 0;
    s.in_flight = s.latency = s.quickest = 0;
    s.walk_start = now;
    s.processors = processors_now;
    s.walk = walk;
    return seen;
}
