#include "run/readers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "recording/header.h"
#include "recording/row.h"
#include "run/tuning.h"

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
    // What the walk sleeps on: the item at `awaited`, or any read's
    // descriptor going back (`returned` counts them).
    std::atomic<std::uint64_t> awaited{NOTHING};
    std::atomic<bool> awaits_return{false};
    std::atomic<std::uint64_t> returned{0};
    // Sleeping readers: one a processor wakes as files wait; the spare ones
    // only when reads wait for the storage.
    std::atomic<int> idle{0}, idle_spares{0};
    std::atomic<std::uint64_t> slow_reads{0};
    bool spares_started = false;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable work;     // idle readers wait here
    std::condition_variable spare;    // and idle spare readers here
    std::condition_variable finished; // the walk waits here
    // The walk's own: items before `written` have gone out, and `queued`
    // items exist.
    std::uint64_t written = 0, queued = 0;
    std::string row; // of a file read at once
    int rows = 0;
    std::vector<std::thread> threads;
};

static Slot& slot_at(Readers* r, std::uint64_t place)
{
    return r->slots[place % WINDOW];
}

static bool failed(const Readers* r)
{
    return r->setup.failure->error != 0;
}

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

static void wake(Readers* r, std::condition_variable& sleepers)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    sleepers.notify_one();
}

// A read's descriptor goes back to the budget.
static void return_read(Readers* r)
{
    end_read(*r->setup.budget);
    r->returned++;
    if (r->awaits_return.load())
        wake(r, r->finished);
}

// One candidate file's header, or nothing when it is not a recording.
// Counts the reads that waited for the storage; *slow is set for such a
// read once they are enough for spare readers.
static std::optional<RecordingHeader> read_recording_header(Readers* r, const FileSpec& file,
                                                            bool* slow, int* error)
{
    unsigned char head[HEADER_SIZE];
    std::size_t got = 0;
    std::uint64_t size = 0;
    auto start = std::chrono::steady_clock::now();
    bool opened = r->setup.read(file, head, sizeof head, &got, &size, error);
    *slow = std::chrono::steady_clock::now() - start > SLOW_READ &&
            ++r->slow_reads > SLOW_READS_BEFORE_SPARES;
    return opened ? decode_recording(head, got, size) : std::nullopt;
}

// Reads the file, with a read's descriptor taken from the budget, and puts
// its row in row (empty when the file is not a recording). Gives the
// descriptor back; a read short of one lowers the budget to what the
// system gave.
static ReadState catalogue_recording(Readers* r, const FileSpec& file, const std::string& path,
                                     std::string& row, bool* slow, int* error)
{
    *error = 0;
    ReadState state = DONE;
    try {
        if (std::optional<RecordingHeader> header = read_recording_header(r, file, slow, error))
            write_catalogue_row(row, path.c_str(), *header);
        else
            row.clear();
    } catch (const std::bad_alloc&) {
        state = NO_MEMORY;
    }
    return_read(r);
    if (is_shortage(*error)) {
        lower_limit(*r->setup.budget);
        state = SHORT;
    }
    return state;
}

// Reads the claimed file at place.
static void read_file(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    bool slow = false;
    ReadState state = catalogue_recording(r, s.file, s.path, s.row, &slow, &s.error);
    if (state != SHORT)
        let_go(*r->setup.budget, s.listing);
    s.state.store(state);
    if (r->awaited.load() == place)
        wake(r, r->finished);
    if (slow && r->idle_spares.load() > 0 && has_work(r))
        wake(r, r->spare);
}

bool wait_for_a_read(Readers* r)
{
    std::uint64_t returned = r->returned.load();
    if (r->setup.budget->reads.load() == 0)
        return false;
    r->awaits_return.store(true);
    {
        std::unique_lock<std::mutex> lock(r->mutex);
        r->finished.wait(lock, [r, returned] { return r->returned.load() != returned; });
    }
    r->awaits_return.store(false);
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
        bool slow = false;
        ReadState state = catalogue_recording(r, file, path, row, &slow, error);
        if (state != SHORT || last_try)
            return state;
        last_try = !(wait_for_a_read(r) || r->setup.give_back(r->setup.walk));
    }
}

static void reader_main(Readers* r, bool spare)
{
    Budget& budget = *r->setup.budget;
    std::atomic<int>& idle = spare ? r->idle_spares : r->idle;
    while (!r->stopping.load()) {
        if (has_work(r) && begin_read(budget, MAX_READS)) {
            std::uint64_t place = claim(r);
            if (place != NOTHING)
                read_file(r, place);
            else
                return_read(r);
            continue;
        }
        std::unique_lock<std::mutex> lock(r->mutex);
        idle++;
        (spare ? r->spare : r->work).wait(lock, [r, &budget] {
            return r->stopping.load() ||
                   (has_work(r) && budget.reads.load() < reads_allowed(budget));
        });
        idle--;
    }
}

// The walk sleeps until the item at place, claimed by a reader, is read.
static void wait_for(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    r->awaited.store(place);
    if (s.state.load() == QUEUED) {
        std::unique_lock<std::mutex> lock(r->mutex);
        r->finished.wait(lock, [&s] { return s.state.load() != QUEUED; });
    }
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
        let_go(*r->setup.budget, s.listing);
    }
    finish_file(r, state, s.row, s.path, s.error);
}

// Writes out, in order, what is ready. With wait, the oldest item goes out
// first: rather than sleep while it is read, the walk reads it, or any
// other file still unclaimed, itself.
static void write_ready(Readers* r, bool wait)
{
    while (r->written < r->queued) {
        Slot& s = slot_at(r, r->written);
        if (s.state.load() != QUEUED) {
            write_item(r, s);
            r->written++;
            wait = false;
            continue;
        }
        if (!wait)
            return;
        std::uint64_t place = NOTHING;
        if (begin_read(*r->setup.budget, MAX_READS) && (place = claim(r)) == NOTHING)
            return_read(r);
        if (place == NOTHING) {
            wait_for(r, r->written);
            continue;
        }
        if (r->idle.load() > 0 && has_work(r))
            wake(r, r->work);
        read_file(r, place);
    }
}

static void start_threads(Readers* r, int count, bool spare)
{
    for (int i = 0; i < count; i++) {
        try {
            r->threads.emplace_back(reader_main, r, spare);
        } catch (const std::system_error&) {
            return; // fewer readers: the walk reads what they do not
        }
    }
}

static void start_spares_if_slow(Readers* r)
{
    std::uint64_t slow = r->slow_reads.load();
    if (!r->spares_started && slow >= SLOW_READS_BEFORE_SPARES && 8 * slow >= r->returned.load()) {
        r->spares_started = true;
        int room = reads_allowed(*r->setup.budget) - 1 - static_cast<int>(r->threads.size());
        start_threads(r, std::min(static_cast<int>(SPARE_READERS), room), true);
    }
}

// The slot for the next item, once the window has room for it.
static Slot& next_slot(Readers* r)
{
    while (r->queued - r->written == WINDOW)
        write_ready(r, true);
    return slot_at(r, r->queued);
}

// With no reader threads and nothing waiting, the walk reads and writes at
// once: on one processor with a warm cache it works as a one-thread walk.
static bool at_once(const Readers* r)
{
    return r->threads.empty() && r->written == r->queued;
}

void queue_file(Readers* r, Listing* listing, const FileSpec& file, const std::string& path)
{
    start_spares_if_slow(r);
    if (at_once(r)) {
        int error = 0;
        ReadState state = read_on_walk(r, file, path, r->row, &error);
        finish_file(r, state, r->row, path, error);
        r->written++;
        r->queued++;
        return;
    }
    Slot& s = next_slot(r);
    use_listing(listing);
    s.is_file = true;
    s.listing = listing;
    s.file.dir = file.dir;
    s.file.name.assign(file.name);
    s.path.assign(path);
    s.state.store(QUEUED);
    std::uint64_t files = r->files_queued.load();
    r->files[files % WINDOW] = r->queued;
    r->files_queued.store(files + 1);
    if (r->idle.load() > 0 && files + 1 - r->files_claimed.load() >= WAKE_BATCH)
        wake(r, r->work);
    r->queued++;
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
    int others = static_cast<int>(setup.processors) - 1;
    start_threads(r.get(), std::min(others, reads_allowed(*setup.budget) - 1), false);
    return r;
}

void StopReaders::operator()(Readers* r) const
{
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->stopping.store(true);
    }
    r->work.notify_all();
    r->spare.notify_all();
    for (std::thread& t : r->threads)
        t.join();
    for (std::uint64_t place = r->written; place < r->queued; place++) {
        Slot& s = slot_at(r, place);
        int state = s.state.load();
        if (s.is_file && (state == QUEUED || state == SHORT))
            let_go(*r->setup.budget, s.listing);
    }
    delete r;
}
