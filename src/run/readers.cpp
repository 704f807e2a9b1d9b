#include "run/readers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "recording/header.h"
#include "recording/row.h"

namespace
{

// Items queued and not yet gone out: memory and descriptors stay bounded
// however large the tree.
constexpr std::uint64_t WINDOW = 256;

// Finished listings whose files are still in the window keep their
// descriptors; beyond this many the walk waits for them to go out.
constexpr int MAX_PENDING_LISTINGS = 32;

// A sleeping reader is woken once this many files wait: woken for each, the
// readers of a warm cache would spend more time waking than reading.
constexpr std::uint64_t WAKE_BATCH = 8;

// A read this slow waited for the storage, not the processor. Once such
// reads are more than a few, and one in eight or more, the spare readers
// start, and each slow read wakes one of them to keep one more read in
// flight. On a warm cache, where only a preempted read is slow, they never
// start.
constexpr std::chrono::microseconds SLOW_READ{50};
constexpr std::uint64_t SLOW_READS_BEFORE_SPARES = 8;
constexpr unsigned SPARE_READERS = 24;

// Readers besides the spares, however many processors: each holds a
// descriptor while it reads.
constexpr unsigned MAX_READERS = 32;

constexpr std::uint64_t NOTHING = UINT64_MAX;

// One queued item: a file to read and write a row for, or the end of a
// directory. The walk fills it in; a reader adds the file's row.
struct Slot {
    bool is_file;
    bool dot;
    DirListing* listing; // to close when the item goes out
    FileSpec file;
    std::string path;
    std::string row;        // empty when the file is not a recording
    std::atomic<bool> done; // read, or nothing to read
};

} // namespace

// The walk's thread queues items and writes them out; the readers claim
// files in order and read them. Claiming and finishing take no lock: the
// mutex and condition variables are only for sleeping and waking.
struct Readers {
    std::FILE* out;
    std::FILE* progress;
    std::unique_ptr<Slot[]> slots{new Slot[WINDOW]};
    // The places of the files queued, in order; readers claim from it.
    std::unique_ptr<std::uint64_t[]> files{new std::uint64_t[WINDOW]};
    std::atomic<std::uint64_t> files_queued{0}, files_claimed{0};
    std::atomic<std::uint64_t> awaited{NOTHING}; // the item the walk sleeps on
    // Sleeping readers: one a processor wakes as files wait; the spare ones
    // only when reads wait for the storage.
    std::atomic<int> idle{0}, idle_spares{0};
    std::atomic<std::uint64_t> reads{0}, slow_reads{0};
    bool spares_started = false;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable work;     // idle readers wait here
    std::condition_variable spare;    // and idle spare readers here
    std::condition_variable finished; // the walk waits here for `awaited`
    // The walk's own: items before `written` have gone out, and `queued`
    // items exist.
    std::uint64_t written = 0, queued = 0;
    int pending_listings = 0;
    std::string row; // of a file read at once
    int rows = 0;
    int error = 0;
    std::vector<std::thread> threads;
};

static Slot& slot_at(Readers* r, std::uint64_t place)
{
    return r->slots[place % WINDOW];
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

static void wake(Readers* r, std::condition_variable& readers)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    readers.notify_one();
}

// One candidate file's header, or nothing when it is not a recording.
// Counts the reads and those that waited for the storage; *slow is set for
// such a read once they are enough for spare readers.
static std::optional<RecordingHeader> read_recording_header(Readers* r, const FileSpec& file,
                                                            bool* slow)
{
    unsigned char head[HEADER_SIZE];
    std::size_t got = 0;
    std::uint64_t size = 0;
    auto start = std::chrono::steady_clock::now();
    bool opened = read_file_head(file, head, sizeof head, &got, &size);
    *slow = std::chrono::steady_clock::now() - start > SLOW_READ &&
            ++r->slow_reads > SLOW_READS_BEFORE_SPARES;
    r->reads++;
    return opened ? decode_recording(head, got, size) : std::nullopt;
}

// Reads the file and, when it is a recording, puts its row in row; for
// any other file row is left empty.
static void catalogue_recording(Readers* r, const FileSpec& file, const std::string& path,
                                std::string& row, bool* slow)
{
    if (std::optional<RecordingHeader> header = read_recording_header(r, file, slow))
        write_catalogue_row(row, path.c_str(), *header);
    else
        row.clear();
}

static void read_file(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    bool slow = false;
    catalogue_recording(r, s.file, s.path, s.row, &slow);
    s.done.store(true);
    if (r->awaited.load() == place) {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->finished.notify_one();
    }
    if (slow && r->idle_spares.load() > 0 && has_work(r))
        wake(r, r->spare);
}

static void reader_main(Readers* r, bool spare)
{
    std::atomic<int>& idle = spare ? r->idle_spares : r->idle;
    while (!r->stopping.load()) {
        std::uint64_t place = claim(r);
        if (place != NOTHING) {
            read_file(r, place);
            continue;
        }
        std::unique_lock<std::mutex> lock(r->mutex);
        idle++;
        (spare ? r->spare : r->work).wait(lock, [r] { return r->stopping.load() || has_work(r); });
        idle--;
    }
}

// The walk sleeps until the item at place, claimed by a reader, is read.
static void wait_for(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    r->awaited.store(place);
    if (!s.done.load()) {
        std::unique_lock<std::mutex> lock(r->mutex);
        r->finished.wait(lock, [&s] { return s.done.load(); });
    }
    r->awaited.store(NOTHING);
}

static void write_row(Readers* r, const std::string& row)
{
    if (r->error || row.empty())
        return;
    errno = 0;
    if (std::fwrite(row.data(), 1, row.size(), r->out) == row.size())
        r->rows++;
    else
        r->error = errno ? errno : EIO;
}

static void write_end(Readers* r, bool dot, DirListing* listing)
{
    if (dot && !r->error)
        std::fputc('.', r->progress);
    if (listing) {
        close_listing(listing);
        r->pending_listings--;
    }
}

// Writes out, in order, what is ready. With wait, the oldest item goes out
// first: rather than sleep while it is read, the walk reads it, or any
// other file still unclaimed, itself.
static void write_ready(Readers* r, bool wait)
{
    std::uint64_t from = r->written;
    for (;;) {
        while (r->written < r->queued && slot_at(r, r->written).done.load())
            r->written++;
        if (r->written > from || !wait || r->written == r->queued)
            break;
        std::uint64_t place = claim(r);
        if (place != NOTHING) {
            if (r->idle.load() > 0 && has_work(r))
                wake(r, r->work);
            read_file(r, place);
        } else {
            wait_for(r, r->written);
        }
    }
    for (; from < r->written; from++) {
        const Slot& s = slot_at(r, from);
        if (s.is_file)
            write_row(r, s.row);
        else
            write_end(r, s.dot, s.listing);
    }
}

static void start_threads(Readers* r, unsigned count, bool spare)
{
    for (unsigned i = 0; i < count; i++) {
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
    if (!r->spares_started && slow >= SLOW_READS_BEFORE_SPARES && 8 * slow >= r->reads.load()) {
        r->spares_started = true;
        start_threads(r, SPARE_READERS, true);
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

std::uint64_t queue_file(Readers* r, const FileSpec& file, const std::string& path)
{
    start_spares_if_slow(r);
    if (at_once(r)) {
        bool slow = false;
        catalogue_recording(r, file, path, r->row, &slow);
        write_row(r, r->row);
        r->written++;
        return r->queued++;
    }
    Slot& s = next_slot(r);
    s.is_file = true;
    s.dot = false;
    s.listing = nullptr;
    s.file.dir = file.dir;
    s.file.name.assign(file.name);
    s.path.assign(path);
    s.done.store(false);
    std::uint64_t files = r->files_queued.load();
    r->files[files % WINDOW] = r->queued;
    r->files_queued.store(files + 1);
    if (r->idle.load() > 0 && files + 1 - r->files_claimed.load() >= WAKE_BATCH)
        wake(r, r->work);
    return r->queued++;
}

void queue_end(Readers* r, DirListing* listing, bool dot)
{
    r->pending_listings += listing != nullptr;
    if (at_once(r)) {
        write_end(r, dot, listing);
        r->written++;
        r->queued++;
        return;
    }
    Slot& s = next_slot(r);
    s.is_file = false;
    s.dot = dot;
    s.listing = listing;
    s.done.store(true);
    r->queued++;
    while (r->pending_listings > MAX_PENDING_LISTINGS)
        write_ready(r, true);
}

void write_through(Readers* r, std::uint64_t place)
{
    while (r->written <= place)
        write_ready(r, true);
}

int write_all(Readers* r)
{
    while (r->written < r->queued)
        write_ready(r, true);
    return r->rows;
}

int write_error(const Readers* r)
{
    return r->error;
}

std::unique_ptr<Readers, StopReaders> start_readers(std::FILE* out, std::FILE* progress)
{
    std::unique_ptr<Readers, StopReaders> r(new Readers);
    r->out = out;
    r->progress = progress;
    // While reads are quick the walk and one reader a further processor
    // share the work (a descriptor each at most, within the walk's budget).
    start_threads(r.get(), std::min(processor_count() - 1, MAX_READERS), false);
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
        if (DirListing* listing = slot_at(r, place).listing)
            close_listing(listing);
    }
    delete r;
}
