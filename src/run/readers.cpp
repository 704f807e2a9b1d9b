#include "run/readers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>

#include "recording/header.h"
#include "recording/row.h"
#include "run/concurrency.h"
#include "run/tuning.h"
#include "run/waits.h"

namespace
{

constexpr std::uint64_t NOTHING = UINT64_MAX;

// What became of a queued file.
enum ReadState {
    QUEUED,    // not read yet, or being read
    DONE,      // read: row holds its row, or nothing when it is no recording
    SHORT,     // no descriptor was to be had: the walk tries again
    NO_MEMORY, // its row could not be made
};

// One queued item: a file to read and write a row for, or a progress dot.
// The walk fills it in; a reader adds the file's row.
struct Slot {
    bool is_file;
    Listing* listing; // the file's, used until the file is read
    FileSpec file;
    std::string path;
    std::string row;
    int error; // why a SHORT read failed
    std::atomic<int> state;
};

} // namespace

// The walk's thread queues items and writes them out; the readers claim
// files in order and read them. Claiming and finishing take no lock: the
// mutex and condition variables are only for sleeping and waking.
struct Readers {
    ReadersSetup setup;
    std::unique_ptr<Slot[]> slots{new Slot[WINDOW]};
    // The places of the files queued, in order; readers claim from it.
    std::unique_ptr<std::uint64_t[]> files{new std::uint64_t[WINDOW]};
    std::atomic<std::uint64_t> files_queued{0}, files_claimed{0};
    // What the walk sleeps on: the item at `awaited`, or any read ending
    // (`reads_ended` counts them).
    std::atomic<std::uint64_t> awaited{NOTHING};
    std::atomic<bool> awaits_read_end{false};
    std::atomic<std::uint64_t> reads_ended{0};
    std::atomic<long long> walk_held_up{0}; // microseconds the walk slept for reads
    std::atomic<int> idle{0};               // readers asleep
    // Reads in flight wanted, and whether they wait for the storage: set
    // anew from `concurrency` at the end of each stretch.
    std::atomic<int> target{1};
    std::atomic<bool> slow{false};
    Stretch stretch;
    Concurrency concurrency; // under the stretch's lock, as is the next
    unsigned shortages_seen = 0;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable work;     // idle readers wait here
    std::condition_variable finished; // the walk waits here
    // The walk's own: items before `written` have gone out, and `queued`
    // items exist.
    std::uint64_t written = 0, queued = 0;
    std::string row; // of a file read at once
    int rows = 0;
    std::vector<std::thread> threads;
    bool no_more_threads = false; // the system would start no more
};

static Slot& slot_at(Readers* r, std::uint64_t place)
{
    return r->slots[place % WINDOW];
}

static bool failed(const Readers* r)
{
    return r->setup.failure->error != 0;
}

// Claiming files

// The place of the oldest file queued and not yet claimed, or NOTHING.
static std::uint64_t claim(Readers* r)
{
    std::uint64_t file = r->files_claimed.load();
    while (file < r->files_queued.load())
        if (r->files_claimed.compare_exchange_weak(file, file + 1))
            return r->files[file % WINDOW];
    return NOTHING;
}

static bool has_work(Readers* r)
{
    return r->files_claimed.load() < r->files_queued.load();
}

// Reads in flight the target and the budget allow now.
static int reads_wanted(Readers* r)
{
    return std::min(r->target.load(), reads_allowed(*r->setup.budget));
}

// Whether one more read may start.
static bool may_read(Readers* r)
{
    return r->setup.budget->reads.load() < reads_wanted(r);
}

// Waking

static void wake(Readers* r, std::condition_variable& sleepers)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    sleepers.notify_one();
}

static void wake_all_readers(Readers* r)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    r->work.notify_all();
}

// The walk sleeps until done() holds, woken through `finished`; the time
// counts as held up by the reads.
template <typename Done> static void walk_sleeps(Readers* r, Done done)
{
    double start = r->setup.clock.wall();
    {
        std::unique_lock<std::mutex> lock(r->mutex);
        if (r->setup.trace && !done())
            r->setup.trace->walk_slept++;
        r->finished.wait(lock, done);
    }
    r->walk_held_up += static_cast<long long>((r->setup.clock.wall() - start) * 1e6);
    forget_waits();
}

// Judging

// The readers go by the policy's target and mode from now on.
static void follow(Readers* r, const Concurrency& c)
{
    r->stretch.weigh = c.slow;
    r->slow = c.slow;
    r->target = c.target;
    if (r->setup.trace)
        r->setup.trace->targets.push_back(c.target);
}

// Sets the target from the stretch just closed; returns the next stretch's
// size. A shortage of descriptors may have passed meanwhile.
static int judge(Readers* r, const ReadsSeen& seen)
{
    Concurrency& c = r->concurrency;
    regain_limit(*r->setup.budget, &r->shortages_seen);
    set_most(c, reads_allowed(*r->setup.budget));
    judge_stretch(c, seen);
    follow(r, c);
    return next_stretch_size(c, seen.reads / std::max(seen.seconds, 1e-6));
}

// Counts a read as it ends; the read that completes a stretch judges it,
// and wakes the readers when the target rose.
static void count(Readers* r, const FileHead& read)
{
    if (!count_read(r->stretch, read, r->setup.budget->reads.load(std::memory_order_relaxed)))
        return;
    int before = r->target.load();
    WalkProgress walk{r->files_queued.load(), static_cast<double>(r->walk_held_up.load()) / 1e6};
    if (close_stretch(r->stretch, r->setup.clock, r->setup.processors, walk,
                      [r](const ReadsSeen& seen) { return judge(r, seen); }) &&
        r->target.load() > before)
        wake_all_readers(r);
}

// Reading

// A read is over: its descriptor goes back to the budget, and a walk
// waiting for one hears of it.
static void finish_read(Readers* r)
{
    end_read(*r->setup.budget);
    r->reads_ended++;
    if (r->awaits_read_end.load())
        wake(r, r->finished);
}

// One candidate file's header, or nothing when it is not a recording.
// While reads wait for the storage, only the header is asked of it.
static std::optional<RecordingHeader> read_recording_header(Readers* r, const FileSpec& file,
                                                            FileHead* read)
{
    unsigned char head[HEADER_SIZE];
    bool opened = r->setup.read(file, head, sizeof head, r->slow.load(), read);
    return opened ? decode_recording(head, read->got, read->size) : std::nullopt;
}

// Reads the file, with a read's descriptor taken from the budget, and puts
// its row in row (empty when the file is not a recording). Gives the
// descriptor back; a read short of one lowers the budget to what the
// system gave.
static ReadState catalogue_recording(Readers* r, const FileSpec& file, const std::string& path,
                                     std::string& row, int* error)
{
    ReadState state = DONE;
    FileHead read;
    try {
        if (std::optional<RecordingHeader> header = read_recording_header(r, file, &read))
            write_catalogue_row(row, path, *header);
        else
            row.clear();
    } catch (const std::bad_alloc&) {
        state = NO_MEMORY;
    }
    count(r, read);
    finish_read(r);
    *error = read.error;
    if (is_shortage(read.error)) {
        lower_limit(*r->setup.budget);
        state = SHORT;
    }
    return state;
}

// Reads the claimed file at place.
static void read_file(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    ReadState state = catalogue_recording(r, s.file, s.path, s.row, &s.error);
    if (state != SHORT)
        stop_using(*r->setup.budget, s.listing);
    s.state.store(state);
    if (r->awaited.load() == place)
        wake(r, r->finished);
}

bool wait_for_a_read(Readers* r)
{
    std::uint64_t ended = r->reads_ended.load();
    if (r->setup.budget->reads.load() == 0)
        return false;
    r->awaits_read_end.store(true);
    walk_sleeps(r, [r, ended] { return r->reads_ended.load() != ended; });
    r->awaits_read_end.store(false);
    return true;
}

// The walk reads a file itself. A read short of descriptors is tried again
// once one is given back, by a read in flight or by the walk, and once more
// when none could be.
static ReadState read_on_walk(Readers* r, const FileSpec& file, const std::string& path,
                              std::string& row, int* error)
{
    for (bool last_try = false;;) {
        while (!begin_read(*r->setup.budget, MAX_READS))
            wait_for_a_read(r);
        ReadState state = catalogue_recording(r, file, path, row, error);
        if (state != SHORT || last_try)
            return state;
        last_try = !(wait_for_a_read(r) || r->setup.release_idle_listing(r->setup.walk));
    }
}

// Starting readers

static void reader_main(Readers* r);

// The trace counts a reader before it starts: it may be at work at once.
static void start_reader(Readers* r)
{
    int* started = r->setup.trace ? &r->setup.trace->threads_started : nullptr;
    if (started)
        ++*started;
    try {
        r->threads.emplace_back(reader_main, r);
    } catch (const std::system_error&) {
        r->no_more_threads = true; // fewer readers: the walk reads what they do not
        if (started)
            --*started;
    }
}

// A sleeping reader is woken once a few files wait, and one that claims a
// file wakes another while more wait: the readers call each other up, and
// the walk wakes one at most for every few files it lists. While reads wait
// for the storage the walk also starts readers for the files waiting, up to
// the target: many reads in flight are what the storage rewards, and the
// walk may sleep next, until one of them is done.
static void call_readers(Readers* r, std::uint64_t batch, bool walk)
{
    std::uint64_t waiting = r->files_queued.load() - r->files_claimed.load();
    if (waiting < batch || !may_read(r))
        return;
    if (r->idle.load() > 0)
        wake(r, r->work);
    if (!walk || !r->slow.load())
        return;
    std::size_t wanted = std::min<std::size_t>(reads_wanted(r), r->threads.size() + waiting);
    while (r->threads.size() < wanted && !r->no_more_threads)
        start_reader(r);
}

static void reader_main(Readers* r)
{
    forget_waits();
    while (!r->stopping.load()) {
        if (has_work(r) && begin_read(*r->setup.budget, r->target.load())) {
            std::uint64_t place = claim(r);
            if (place == NOTHING) {
                finish_read(r);
                continue;
            }
            call_readers(r, WAKE_BATCH, false);
            read_file(r, place);
            continue;
        }
        {
            std::unique_lock<std::mutex> lock(r->mutex);
            r->idle++;
            r->work.wait(lock, [r] { return r->stopping.load() || (has_work(r) && may_read(r)); });
            r->idle--;
        }
        forget_waits();
    }
}

// Writing out in order

// The walk sleeps until the item at place, claimed by a reader, is read.
static void wait_for(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    r->awaited.store(place);
    if (s.state.load() == QUEUED)
        walk_sleeps(r, [&s] { return s.state.load() != QUEUED; });
    r->awaited.store(NOTHING);
}

static void write_row(Readers* r, const std::string& row)
{
    if (row.empty())
        return;
    errno = 0;
    if (std::fwrite(row.data(), 1, row.size(), r->setup.out) == row.size())
        r->rows++;
    else
        *r->setup.failure = {errno ? errno : EIO, true, {}};
}

// The row of a file read, or the failure that ends the run.
static void finish_file(Readers* r, ReadState state, const std::string& row,
                        const std::string& path, int error)
{
    if (failed(r))
        return;
    if (state == NO_MEMORY)
        throw std::bad_alloc(); // ends the run as on the walk's own thread
    if (state == SHORT)
        *r->setup.failure = {error, false, path};
    else
        write_row(r, row);
}

// Writes out an item whose read is over; a read that was short of
// descriptors is tried once more now that everything before it is out.
static void write_item(Readers* r, Slot& s)
{
    if (!s.is_file) {
        if (!failed(r))
            std::fputc('.', r->setup.progress);
        return;
    }
    auto state = static_cast<ReadState>(s.state.load());
    if (state == SHORT) {
        if (!failed(r))
            state = read_on_walk(r, s.file, s.path, s.row, &s.error);
        stop_using(*r->setup.budget, s.listing);
        s.state.store(state == SHORT ? DONE : state); // stopped using once only
    }
    finish_file(r, state, s.row, s.path, s.error);
}

// The oldest item is not read yet. While reads are quick, or no reader
// runs, the walk reads it, or any other file still unclaimed, itself rather
// than sleep. While they wait for the storage it sleeps, to go on listing
// as soon as it can, and seldom do they end in order: it sleeps until a
// later one is done, and writes out a batch.
static void read_or_wait(Readers* r)
{
    bool help = !r->slow.load() || r->threads.empty();
    bool reserved = help && begin_read(*r->setup.budget, r->target.load());
    std::uint64_t place = reserved ? claim(r) : NOTHING;
    if (place != NOTHING) {
        call_readers(r, 1, false);
        read_file(r, place);
        return;
    }
    if (reserved)
        finish_read(r);
    call_readers(r, 1, true);
    std::uint64_t later = std::min(r->written + SLOW_BATCH, r->queued - 1);
    bool batch = !help && slot_at(r, later).state.load() == QUEUED;
    wait_for(r, batch ? later : r->written);
}

// Writes out, in order, what is ready. With wait, the oldest item goes out
// first, read or waited for as needed.
static void write_ready(Readers* r, bool wait)
{
    while (r->written < r->queued) {
        Slot& s = slot_at(r, r->written);
        if (s.state.load() != QUEUED) {
            write_item(r, s);
            r->written++;
            wait = false;
        } else if (wait) {
            read_or_wait(r);
        } else {
            return;
        }
    }
}

// Queueing

// The slot for the next item, once the window has room for it.
static Slot& next_slot(Readers* r)
{
    while (r->queued - r->written >= WINDOW)
        write_ready(r, true);
    return slot_at(r, r->queued);
}

// With quick reads, no reader threads and nothing waiting, the walk reads
// and writes at once: on one processor with a warm cache it works as a
// one-thread walk.
static bool at_once(const Readers* r)
{
    return !r->slow.load() && r->threads.empty() && r->written == r->queued;
}

void queue_file(Readers* r, Listing* listing, const FileSpec& file, const std::string& path)
{
    if (at_once(r)) {
        int error = 0;
        ReadState state = read_on_walk(r, file, path, r->row, &error);
        finish_file(r, state, r->row, path, error);
        r->written++;
        r->queued++;
        return;
    }
    Slot& s = next_slot(r);
    s.file.name.assign(file.name); // the copies first: they may run out of memory
    s.path.assign(path);
    s.file.dir = file.dir;
    s.is_file = true;
    s.listing = listing;
    use_listing(listing);
    s.state.store(QUEUED);
    std::uint64_t files = r->files_queued.load();
    r->files[files % WINDOW] = r->queued;
    r->files_queued.store(files + 1);
    r->queued++;
    call_readers(r, WAKE_BATCH, true);
}

void queue_dot(Readers* r)
{
    Slot& s = at_once(r) ? slot_at(r, r->queued) : next_slot(r);
    s.is_file = false;
    s.state.store(DONE);
    r->queued++;
    write_ready(r, false);
}

bool write_some(Readers* r)
{
    if (r->written == r->queued)
        return false;
    write_ready(r, true);
    return true;
}

void write_all(Readers* r)
{
    while (r->written < r->queued && !failed(r))
        write_ready(r, true);
}

int rows_written(const Readers* r)
{
    return r->rows;
}

std::unique_ptr<Readers, StopReaders> start_readers(const ReadersSetup& setup)
{
    std::unique_ptr<Readers, StopReaders> r(new Readers);
    r->setup = setup;
    // While reads are quick the walk and one reader a further processor
    // share the work.
    r->concurrency =
        initial_concurrency(static_cast<int>(setup.processors), reads_allowed(*setup.budget));
    follow(r.get(), r->concurrency);
    begin_first_stretch(r->stretch, setup.clock, FIRST_STRETCH);
    forget_waits();
    for (int i = 1; i < r->concurrency.quick && !r->no_more_threads; i++)
        start_reader(r.get());
    return r;
}

void StopReaders::operator()(Readers* r) const
{
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->stopping.store(true);
    }
    r->work.notify_all();
    for (std::thread& t : r->threads)
        t.join();
    for (std::uint64_t place = r->written; place < r->queued; place++) {
        Slot& s = slot_at(r, place);
        int state = s.state.load();
        if (s.is_file && (state == QUEUED || state == SHORT))
            stop_using(*r->setup.budget, s.listing);
    }
    delete r;
}
