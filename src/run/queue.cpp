// The walk's side of the readers' ring. The walk queues each file and dot,
// and writes items out in order as they are done. It visits every file
// there, so that is where it does the rest: it counts the read into the
// stretch and, at the stretch's end, judges how many reads to keep in
// flight and starts or wakes readers; it gives the file's listing back;
// and it reads again, itself, a file refused for want of descriptors.
#include <algorithm>
#include <cerrno>
#include <new>

#include "run/tuning.h"
#include "run/walker.h"

static Slot& slot(Walk& w, std::uint64_t place)
{
    return w.slots[place % WINDOW];
}

// Judging the reads

// The readers go by the policy's target from now on, within the budget.
static void keep_to_budget(Walk& w)
{
    set_cap(w.readers, std::min(w.policy.target, reads_allowed(w.budget)), w.policy.slow);
}

static void follow(Walk& w)
{
    keep_to_budget(w);
    if (w.setup.trace)
        w.setup.trace->targets.push_back(w.policy.target);
}

// Sets the target from the stretch just complete, and begins the next. A
// shortage of descriptors may have passed meanwhile.
static void judge(Walk& w)
{
    WalkProgress progress{w.files_queued, w.held_up};
    ReadsSeen seen = take_stretch(w.stretch, w.setup.clock, w.processors, progress);
    regain_limit(w.budget, &w.shortages_seen);
    set_most(w.policy, reads_allowed(w.budget));
    judge_stretch(w.policy, seen);
    follow(w);
    w.stretch.size = stretch_reads(w.policy);
    w.stretch.least_time = STRETCH_SECONDS;
}

static void count(Walk& w, const Slot& s)
{
    if (count_read(w.stretch, s.read, s.in_flight, s.read.ended))
        judge(w);
}

void lower_limit(Walk& w)
{
    lower_limit(w.budget, reads_in_flight(w.readers));
    keep_to_budget(w);
}

// Starting and waking readers

static void add_reader(Walk& w)
{
    // The trace counts a reader before it starts: it may be at work at once.
    int* started = w.setup.trace ? &w.setup.trace->threads_started : nullptr;
    if (started)
        ++*started;
    if (start_reader(w.readers)) {
        w.threads++;
    } else {
        w.no_more_threads = true;
        if (started)
            --*started;
    }
}

// Once `batch` files wait and a read may start, sleeping readers are woken
// for them. While reads wait for the storage, readers are also started for
// the files waiting, up to the target: many reads in flight are what the
// storage rewards, and the walk may sleep next, until one of them is done.
static void call_readers(Walk& w, std::uint64_t batch)
{
    if (!w.policy.slow && w.threads == 0)
        return; // none to wake, and none started while reads are quick
    std::uint64_t waiting = unclaimed(w.readers);
    int cap = cap_of(w.readers);
    if (waiting < batch || reads_in_flight(w.readers) >= cap)
        return;
    wake_readers(w.readers, waiting);
    if (!w.policy.slow)
        return;
    std::uint64_t wanted = std::min<std::uint64_t>(cap, w.threads + waiting);
    while (static_cast<std::uint64_t>(w.threads) < wanted && !w.no_more_threads)
        add_reader(w);
}

// Writing out in order

static void write_row(Walk& w, const std::string& row)
{
    if (row.empty())
        return;
    errno = 0;
    if (std::fwrite(row.data(), 1, row.size(), w.out) == row.size())
        w.rows++;
    else
        w.failure = {errno ? errno : EIO, true, {}};
}

// A place that could not be read, on a line of its own among the dots.
static void show_failure(Walk& w, const std::string& path, int error)
{
    if (failed(w) || ++w.failures > FAILURES_SHOWN)
        return;
    if (w.dots_open)
        std::fputc('\n', w.progress);
    w.dots_open = false;
    report_failure(w.progress, path, error);
}

// Writes out the row of a file read into s, with everything before it
// written out already; false when it cannot go out, having been refused
// for want of descriptors in a run that was interrupted. A file so refused
// is read again, by read_again, on the walk: at once, since much may have
// been given back since, and then as open_in_budget says.
template <typename ReadAgain>
static bool write_file(Walk& w, Slot& s, const std::string& path, ReadAgain read_again)
{
    count(w, s);
    if (is_shortage(s.read.error) && !failed(w))
        open_in_budget(w, path, false, [&](int* error) {
            read_again();
            *error = s.read.error;
            return !is_shortage(*error);
        });
    if (failed(w))
        return true;
    if (s.no_memory)
        throw std::bad_alloc(); // ends the run as on the walk's own thread
    if (is_shortage(s.read.error))
        return false;
    if (s.read.error && !is_silent(s.read.error))
        show_failure(w, path, s.read.error);
    else if (!s.read.error)
        write_row(w, s.row);
    return true;
}

static bool write_item(Walk& w, std::uint64_t place)
{
    Slot& s = slot(w, place);
    if (s.kind == ITEM_FILE) {
        if (!write_file(w, s, s.path, [&] {
                while (!read_again(w.readers, place) && !stop_asked(w))
                    sleep_until_a_read_ends(w.readers); // for a permit
            }))
            return false;
        stop_using(w.budget, s.listing);
    } else if (s.kind == ITEM_FAILURE) {
        show_failure(w, s.path, s.read.error);
    } else if (!failed(w)) {
        std::fputc('.', w.progress);
        w.dots_open = true;
    }
    return true;
}

// The walk sleeps until the item at place is done; the time counts as held
// up by the reads.
static void walk_sleeps(Walk& w, std::uint64_t place)
{
    if (slot(w, place).done.load())
        return;
    if (w.setup.trace)
        w.setup.trace->walk_slept++;
    const ReadersClock& clock = w.setup.clock;
    double start = clock.wall(clock.context);
    sleep_until_done(w.readers, place);
    w.held_up += clock.wall(clock.context) - start;
}

// The oldest item is not done yet. While reads are quick, or no reader
// runs, the walk reads the oldest file still unclaimed itself rather than
// sleep. While they wait for the storage it sleeps, to go on listing as
// soon as it can, and seldom do they end in order: it sleeps until a later
// one is done, and writes out a batch.
static void read_or_wait(Walk& w)
{
    bool help = !w.policy.slow || w.threads == 0;
    if (help && read_on_walk(w.readers) != NO_PLACE) {
        call_readers(w, 1);
        return;
    }
    call_readers(w, 1);
    std::uint64_t later = std::min(w.written + SLOW_BATCH, w.queued - 1);
    bool batch = !help && !slot(w, later).done.load();
    walk_sleeps(w, batch ? later : w.written);
}

// Writes out, in order, what is done. With wait, the oldest item goes out
// first, read or waited for as needed.
static void write_ready(Walk& w, bool wait)
{
    while (w.written < w.queued) {
        if (slot(w, w.written).done.load()) {
            if (!write_item(w, w.written))
                return;
            w.written++;
            wait = false;
        } else if (wait && !stop_asked(w)) {
            read_or_wait(w);
        } else {
            return;
        }
    }
}

bool write_some(Walk& w)
{
    if (w.written == w.queued)
        return false;
    write_ready(w, true);
    return true;
}

void write_through(Walk& w, std::uint64_t place)
{
    while (w.written < place && write_some(w)) {
    }
}

void write_all(Walk& w)
{
    while (w.written < w.queued && !failed(w) && !stop_asked(w))
        write_ready(w, true);
    write_ready(w, false);
}

// Queueing

// The slot for the next item, once the window has room for it; null once
// the run was interrupted.
static Slot* next_slot(Walk& w)
{
    while (w.queued - w.written >= WINDOW && !stop_asked(w))
        write_ready(w, true);
    return stop_asked(w) ? nullptr : &slot(w, w.queued);
}

// With no reader threads and nothing waiting, the walk reads and writes at
// once: on one processor with a warm cache it works as a one-thread walk.
static bool at_once(const Walk& w)
{
    return w.threads == 0 && w.written == w.queued && (!w.policy.slow || w.no_more_threads);
}

void queue_file(Walk& w, Listing* listing, const FileSpec& file)
{
    if (at_once(w)) {
        auto read = [&] { read_at_once(w.readers, file, w.path, w.own); };
        read();
        write_file(w, w.own, w.path, read);
        return;
    }
    Slot* next = next_slot(w);
    if (!next)
        return;
    Slot& s = *next;
    s.file.name.assign(file.name); // the copies first: they may run out of memory
    s.path.assign(w.path);
    s.file.dir = file.dir;
    s.kind = ITEM_FILE;
    s.done.store(false);
    s.listing = listing;
    use_listing(listing, w.queued);
    publish(w.readers, w.queued++);
    w.files_queued++;
    call_readers(w, w.policy.slow ? 1 : WAKE_BATCH);
    // What is done goes out now, so that the reads are judged soon after
    // they end; with no reader running, the walk reads this one itself.
    write_ready(w, w.threads == 0);
}

// Dots and failures are done as they are queued: the walk goes on while
// the files before them are read.
static void queue_done(Walk& w, ItemKind kind, const std::string& path, int error)
{
    Slot* s = next_slot(w);
    if (!s)
        return;
    s->kind = kind;
    if (kind == ITEM_FAILURE) {
        s->path.assign(path);
        s->read.error = error;
    }
    s->done.store(true);
    w.queued++;
    write_ready(w, false);
}

void queue_dot(Walk& w)
{
    queue_done(w, ITEM_DOT, {}, 0);
}

void queue_failure(Walk& w, const std::string& path, int error)
{
    if (error && !is_silent(error) && !is_shortage(error))
        queue_done(w, ITEM_FAILURE, path, error);
}

void start_queue(Walk& w)
{
    w.readers = make_readers(w.setup.read);
    w.slots = slots_of(w.readers);
    // While reads are quick the walk and one reader a further processor
    // share the work.
    w.policy = initial_concurrency(static_cast<int>(w.processors), reads_allowed(w.budget));
    follow(w);
    begin_first_stretch(w.stretch, w.setup.clock, FIRST_STRETCH);
    forget_waits();
    for (int i = 1; i < w.policy.quick && !w.no_more_threads; i++)
        add_reader(w);
}

// Once the readers have stopped, the files queued and not written out give
// their listings back. Interrupted, the run ends now: a reader may be stuck
// in a read that never ends (a share that hangs), so they are left to end
// with the process, and with them what they may still use.
void stop_queue(Walk& w)
{
    if (!w.readers)
        return;
    if (w.interrupted) {
        abandon_readers(w.readers);
        return;
    }
    stop_readers(w.readers);
    for (; w.written < w.queued; w.written++)
        if (slot(w, w.written).kind == ITEM_FILE)
            stop_using(w.budget, slot(w, w.written).listing);
    free_readers(w.readers);
    w.readers = nullptr;
}
