#include "run/readers.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "recording/header.h"
#include "recording/row.h"
#include "run/tuning.h"
#include "run/waits.h"

namespace
{

constexpr std::uint64_t NOTHING = NO_PLACE;
constexpr std::uint64_t ANY_READ = UINT64_MAX - 1; // the walk awaits the end of any read

} // namespace

// Every atomic below is sequentially consistent, as std::atomic is unless
// told otherwise, and that is what the two handshakes need: each side
// stores first and then loads what the other stores (the walk `awaited`,
// then a slot's `done` or `in_flight`; a reader `done` or `in_flight`,
// then `awaited`), so at least one of them sees the other's store, and the
// walk is never left asleep. Readers are woken under the mutex they sleep
// under, which orders the rest.
struct Readers {
    ReadSeam seam;
    std::chrono::milliseconds poll;
    std::unique_ptr<Slot[]> slots{new Slot[WINDOW]};
    // The places of the files queued, in order: readers claim from it. A
    // file's entry is used again only once its row has gone out, so once
    // it has been claimed.
    std::unique_ptr<std::uint64_t[]> files{new std::uint64_t[WINDOW]};
    // Files queued: the walk writes it once a file's slot and entry are
    // filled in; readers read it to know what they may claim.
    std::atomic<std::uint64_t> queued{0};
    // Files claimed: whoever moves it on (a reader, or the walk reading
    // itself) reads that file.
    std::atomic<std::uint64_t> claimed{0};
    // Permits taken, each a read in flight with a descriptor open: taken
    // and given back by whoever reads; the walk reads it for its budget.
    std::atomic<int> in_flight{0};
    // Reads in flight allowed: the walk writes it, readers read it.
    std::atomic<int> cap{1};
    // The item the walk sleeps until done, ANY_READ or NOTHING: the walk
    // writes it, a reader that ends a read reads it to know whether to wake
    // the walk.
    std::atomic<std::uint64_t> awaited{NOTHING};
    // Reads wait for the storage: ask for the header alone. The walk
    // writes it, readers read it as they begin a read.
    std::atomic<bool> slow{false};
    std::mutex mutex;
    std::condition_variable work;       // sleeping readers
    std::condition_variable walk_wakes; // the sleeping walk
    int idle = 0;                       // readers asleep, under the mutex
    bool stopping = false;              // under the mutex
    std::vector<std::thread> threads;   // the walk's own
};

static Slot& slot_at(Readers* r, std::uint64_t place)
{
    return r->slots[place % WINDOW];
}

Slot* slots_of(Readers* r)
{
    return r->slots.get();
}

// Permits

static bool take_permit(Readers* r)
{
    int n = r->in_flight.load();
    while (n < r->cap.load())
        if (r->in_flight.compare_exchange_weak(n, n + 1))
            return true;
    return false;
}

std::uint64_t unclaimed(const Readers* r)
{
    return r->queued.load() - r->claimed.load();
}

static bool has_work(const Readers* r)
{
    return unclaimed(r) > 0 && r->in_flight.load() < r->cap.load();
}

// The place of the oldest file not yet claimed, now claimed, or NOTHING.
static std::uint64_t claim(Readers* r)
{
    std::uint64_t file = r->claimed.load();
    while (file < r->queued.load())
        if (r->claimed.compare_exchange_weak(file, file + 1))
            return r->files[file % WINDOW];
    return NOTHING;
}

// Reading

// Reads the file's head into head and what the read found into s. Out of
// memory, on whichever thread, the walk ends the run when the row's turn
// comes.
static bool read_head(Readers* r, const FileSpec& file, Slot& s, unsigned char* head)
{
    s.read = FileHead{};
    s.no_memory = false;
    try {
        return r->seam.read(r->seam.context, file, head, HEADER_SIZE, r->slow.load(), &s.read);
    } catch (const std::bad_alloc&) {
        s.no_memory = true;
        return false;
    }
}

// The row of a file read, or none when it is no recording.
static void catalogue_recording(Slot& s, const std::string& path, bool opened,
                                const unsigned char* head)
{
    if (s.no_memory)
        return;
    try {
        std::optional<RecordingHeader> header =
            opened ? decode_recording(head, s.read.got, s.read.size) : std::nullopt;
        if (header)
            format_catalogue_row(s.row, path, *header);
        else
            s.row.clear();
    } catch (const std::bad_alloc&) {
        s.no_memory = true;
    }
}

// Wakes the walk if it sleeps until the item at place is done, or until
// any read ends; called after the store that it waits for.
static void wake_walk(Readers* r, std::uint64_t place)
{
    std::uint64_t awaited = r->awaited.load();
    if (awaited == place || awaited == ANY_READ) {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->walk_wakes.notify_one();
    }
}

static void mark_done(Readers* r, std::uint64_t place)
{
    slot_at(r, place).done.store(true);
    wake_walk(r, place);
}

// Reads the file at place with a permit taken, and gives the permit back
// as soon as the file is closed.
static void read_file(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    unsigned char head[HEADER_SIZE];
    bool opened = read_head(r, s.file, s, head);
    s.in_flight = r->in_flight.fetch_sub(1);
    catalogue_recording(s, s.path, opened, head);
    mark_done(r, place);
}

void read_at_once(Readers* r, const FileSpec& file, const std::string& path, Slot& s)
{
    unsigned char head[HEADER_SIZE];
    bool opened = read_head(r, file, s, head);
    s.in_flight = 1;
    catalogue_recording(s, path, opened, head);
}

// With a permit, claims the oldest file not yet claimed and reads it.
std::uint64_t read_next(Readers* r)
{
    if (unclaimed(r) == 0 || !take_permit(r))
        return NOTHING;
    std::uint64_t place = claim(r);
    if (place == NOTHING) {
        r->in_flight--; // another took the file: the walk may await this permit
        wake_walk(r, ANY_READ);
    } else {
        read_file(r, place);
    }
    return place;
}

bool read_again(Readers* r, std::uint64_t place)
{
    if (!take_permit(r))
        return false;
    read_file(r, place);
    return true;
}

// Sleeping and waking

static bool sleep_until_work(Readers* r)
{
    std::unique_lock<std::mutex> lock(r->mutex);
    r->idle++;
    r->work.wait(lock, [r] { return r->stopping || has_work(r); });
    r->idle--;
    return !r->stopping;
}

static void reader_main(Readers* r)
{
    do {
        forget_waits(); // what the thread waited for until now was not the storage
        while (read_next(r) != NOTHING) {
        }
    } while (sleep_until_work(r));
}

// A signal cannot wake the walk, only set a flag: the walk looks at it
// now and then while it sleeps.
template <typename Done> static void walk_sleeps(Readers* r, std::uint64_t awaited, Done done)
{
    r->awaited.store(awaited);
    {
        std::unique_lock<std::mutex> lock(r->mutex);
        while (!done() && !interrupted())
            r->walk_wakes.wait_for(lock, r->poll);
    }
    r->awaited.store(NOTHING);
    forget_waits();
}

void sleep_until_done(Readers* r, std::uint64_t place)
{
    Slot& s = slot_at(r, place);
    walk_sleeps(r, place, [&s] { return s.done.load(); });
}

bool sleep_until_a_read_ends(Readers* r)
{
    int now = r->in_flight.load();
    if (now == 0)
        return false;
    walk_sleeps(r, ANY_READ, [r, now] { return r->in_flight.load() < now; });
    return !interrupted();
}

void wake_readers(Readers* r, std::uint64_t n)
{
    if (n == 0)
        return;
    std::lock_guard<std::mutex> lock(r->mutex);
    if (n >= static_cast<std::uint64_t>(r->idle))
        r->work.notify_all();
    else
        for (; n > 0; n--)
            r->work.notify_one();
}

int sleeping_readers(Readers* r)
{
    std::lock_guard<std::mutex> lock(r->mutex);
    return r->idle;
}

void publish(Readers* r, std::uint64_t place)
{
    std::uint64_t file = r->queued.load();
    r->files[file % WINDOW] = place;
    r->queued.store(file + 1);
}

void set_cap(Readers* r, int cap, bool slow)
{
    r->slow.store(slow);
    int before = r->cap.exchange(cap);
    if (cap > before)
        wake_readers(r, unclaimed(r));
}

int cap_of(const Readers* r)
{
    return r->cap.load();
}

int reads_in_flight(const Readers* r)
{
    return r->in_flight.load();
}

// Starting and stopping

Readers* make_readers(ReadSeam seam, std::chrono::milliseconds poll)
{
    Readers* r = new Readers;
    r->seam = seam;
    r->poll = poll;
    return r;
}

bool start_reader(Readers* r)
{
    try {
        r->threads.emplace_back(reader_main, r);
        return true;
    } catch (const std::system_error&) {
        return false; // fewer readers: the walk reads what they do not
    }
}

// No more reads begin, and sleeping readers end.
static void tell_to_stop(Readers* r)
{
    r->cap.store(0);
    {
        std::lock_guard<std::mutex> lock(r->mutex);
        r->stopping = true;
    }
    r->work.notify_all();
}

void stop_readers(Readers* r)
{
    tell_to_stop(r);
    for (std::thread& t : r->threads)
        t.join();
}

void free_readers(Readers* r)
{
    delete r;
}

void abandon_readers(Readers* r)
{
    tell_to_stop(r);
    for (std::thread& t : r->threads)
        t.detach();
}
