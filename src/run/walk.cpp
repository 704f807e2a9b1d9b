// The walk's thread: it lists the tree depth-first in listing order, queues
// each candidate file and progress dot in the readers' ring, and writes the
// items out in order as they are done. It visits every file there, so that
// is where it does everything but read: it counts the read into the
// stretch and, at the stretch's end, judges how many reads to keep in
// flight and starts or wakes readers; it gives the file's listing back;
// it reads again, itself, a file refused for want of descriptors; and it
// reports the places that could not be read.
#include "run/walk.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "recording/header.h"
#include "recording/row.h"
#include "run/concurrency.h"
#include "run/descriptors.h"
#include "run/failures.h"
#include "run/readers.h"
#include "run/stretch.h"
#include "run/tuning.h"

namespace
{

struct DirIdHash {
    std::size_t operator()(DirId id) const
    {
        return std::hash<std::uint64_t>()(id.file ^ id.volume);
    }
};

struct DirIdEqual {
    bool operator()(DirId a, DirId b) const { return same_directory(a, b); }
};

struct Walk {
    WalkSetup setup;
    unsigned processors;
    std::FILE* out;
    std::FILE* progress;
    Budget budget;
    std::vector<Listing*> listings; // the listings the walk is in, root first
    // Every directory walked so far: memory grows with the directories,
    // never with the files.
    std::unordered_set<DirId, DirIdHash, DirIdEqual> walked;
    std::string path; // of the entry in hand
    Failure failure;
    int failures = 0;           // places that could not be read
    bool dots_open = false;     // a line of progress dots is not ended yet
    bool interrupted = false;   // the run was asked to stop
    Listing* leaving = nullptr; // left, while rows go out before its parent is taken up

    // The ring: items before `written` have gone out, `queued` exist.
    Readers* readers = nullptr;
    Slot* slots = nullptr;
    Slot own; // a file the walk reads at once
    std::uint64_t written = 0, queued = 0;
    std::uint64_t files_queued = 0;
    // Rows not written out yet, and where each ends. They go out a buffer
    // at a time, and count once they are out: a stream's own buffer, lost
    // when its write fails, would count rows that never were.
    std::string pending;
    std::vector<std::size_t> row_ends;
    int rows = 0;
    // On a terminal each row goes out as it is written, as a terminal's
    // stream goes out a line at a time: its directory's dot comes after it.
    bool by_line;

    // How many reads to keep in flight, judged stretch by stretch.
    Stretch stretch;
    Concurrency policy;
    double held_up = 0; // seconds slept until reads were done
    unsigned shortages_seen = 0;
    int threads = 0;              // readers started
    bool no_more_threads = false; // the system would start no more

    Walk(const WalkSetup& s, std::FILE* o, std::FILE* p);
    ~Walk(); // also when the run stopped early, or ran out of memory
};

} // namespace

static bool failed(const Walk& w)
{
    return w.failure.error != 0;
}

// Once interrupted, the walk takes no new item and waits for no read: what
// is done goes out, in order, and the run ends.
static bool stop_asked(Walk& w)
{
    return w.interrupted || (w.interrupted = interrupted());
}

static void lower_limit(Walk& w);
static bool give_back(Walk& w, bool may_write);
static bool write_some(Walk& w);
static void write_all(Walk& w);

// An open refused for want of descriptors is tried again each time one is
// given back, and once more when the walk holds nothing it could give
// back. Refused then too, the run stops there, for path, after what was
// queued before has gone out. *error is the last try's.
template <typename Open>
bool open_in_budget(Walk& w, const std::string& path, bool may_write, int* error, Open open)
{
    for (bool last_try = false;;) {
        *error = 0;
        if (open(error))
            return true;
        if (!is_shortage(*error) || failed(w) || stop_asked(w))
            return false;
        if (last_try) {
            if (may_write)
                write_all(w);
            if (!failed(w))
                w.failure = {*error, false, path};
            return false;
        }
        lower_limit(w);
        last_try = !give_back(w, may_write);
    }
}

static Slot& slot(const Walk& w, std::uint64_t place)
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

// An open failed for want of descriptors: the budget is what the tool
// holds now.
static void lower_limit(Walk& w)
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

// Writes out the rows buffered; those that went out whole count.
static void flush_rows(Walk& w)
{
    errno = 0;
    std::size_t out = std::fwrite(w.pending.data(), 1, w.pending.size(), w.out);
    auto whole = std::upper_bound(w.row_ends.begin(), w.row_ends.end(), out);
    w.rows += static_cast<int>(whole - w.row_ends.begin());
    if (out < w.pending.size() && !failed(w))
        w.failure = {errno ? errno : EIO, true, {}};
    w.pending.clear();
    w.row_ends.clear();
}

// A line as it goes out: every newline in it ended the platform's way, as
// a text-mode stream ends them, those inside a recording's texts too.
static void append_line(std::string& out, const char* line, std::size_t n)
{
    while (const void* newline = std::memchr(line, '\n', n)) {
        std::size_t before = static_cast<std::size_t>(static_cast<const char*>(newline) - line);
        out.append(line, before);
        out += LINE_END;
        line += before + 1;
        n -= before + 1;
    }
    out.append(line, n);
}

static void write_row(Walk& w, const std::string& row)
{
    if (row.empty())
        return;
    if (w.pending.size() + row.size() > OUT_BUFFER)
        flush_rows(w);
    if (failed(w))
        return;
    append_line(w.pending, row.data(), row.size());
    w.row_ends.push_back(w.pending.size());
    if (w.by_line)
        flush_rows(w);
}

int write_column_row(std::FILE* out)
{
    std::string line;
    append_line(line, COLUMN_HEADER_ROW, std::strlen(COLUMN_HEADER_ROW));
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), out) == line.size())
        return 0;
    return errno ? errno : EIO;
}

// So that a message goes on a line of its own.
static void end_dots(Walk& w)
{
    if (w.dots_open)
        std::fputc('\n', w.progress);
    w.dots_open = false;
}

// A place that could not be read, on a line of its own among the dots.
static void show_failure(Walk& w, const std::string& path, int error)
{
    if (failed(w) || ++w.failures > FAILURES_SHOWN)
        return;
    end_dots(w);
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
    int error = s.read.error;
    if (is_shortage(error) && !failed(w))
        open_in_budget(w, path, false, &error, [&](int* e) {
            read_again();
            *e = s.read.error;
            return !is_shortage(*e);
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
    if (help && read_next(w.readers) != NO_PLACE) {
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

// Writes out at least the oldest item, reading it or waiting for it as
// needed; false when nothing is queued, or once the run was interrupted
// (it waits for nothing then, and the callers' loops must end).
static bool write_some(Walk& w)
{
    if (w.written == w.queued || stop_asked(w))
        return false;
    write_ready(w, true);
    return true;
}

static void write_through(Walk& w, std::uint64_t place)
{
    while (w.written < place && write_some(w)) {
    }
}

// Writes out everything queued, unless the run has failed; once
// interrupted, what is done.
static void write_all(Walk& w)
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

// Queues a prepared file of listing, printed as the walk's path. Waits
// while the window of items in flight is full.
static void queue_file(Walk& w, Listing* listing, const FileSpec& file)
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
static void queue_done(Walk& w, Slot& s, ItemKind kind)
{
    s.kind = kind;
    s.done.store(true);
    w.queued++;
    write_ready(w, false);
}

static void queue_dot(Walk& w)
{
    if (Slot* s = next_slot(w))
        queue_done(w, *s, ITEM_DOT);
}

// A place that could not be read, unless its failure is passed over in
// silence.
static void queue_failure(Walk& w, const std::string& path, int error)
{
    if (!error || is_silent(error) || is_shortage(error))
        return;
    Slot* s = next_slot(w);
    if (!s)
        return;
    s->path.assign(path);
    s->read.error = error;
    queue_done(w, *s, ITEM_FAILURE);
}

static void start_queue(Walk& w)
{
    w.readers = make_readers(w.setup.read, w.setup.interruption_poll);
    w.slots = slots_of(w.readers);
    w.policy = initial_concurrency(static_cast<int>(w.processors), reads_allowed(w.budget));
    follow(w);
    begin_first_stretch(w.stretch, w.setup.clock, FIRST_STRETCH);
    forget_waits();
    // While reads are quick a reader a processor reads and the walk lists,
    // reading too while a permit is free: the scheduler shares processors
    // that other programs keep busy out by threads, and one fewer reader
    // cost a tenth beside two busy loops. On one processor the walk alone
    // reads each file as it lists it.
    int quick_readers = w.policy.quick > 1 ? w.policy.quick : 0;
    for (int i = 0; i < quick_readers && !w.no_more_threads; i++)
        add_reader(w);
}

// Once the readers have stopped, the files queued and not written out give
// their listings back. Interrupted, the run ends now: a reader may be stuck
// in a read that never ends (a share that hangs), so they are left to end
// with the process, and with them what they may still use.
static void stop_queue(Walk& w)
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

// Listing

Walk::Walk(const WalkSetup& s, std::FILE* o, std::FILE* p)
    : setup(s), processors(s.processors ? s.processors : processor_count()), out(o), progress(p),
      by_line(is_terminal(o))
{
    pending.reserve(OUT_BUFFER);
}

Walk::~Walk()
{
    stop_queue(*this);
    if (interrupted)
        return; // the process ends now: listings a reader may be using stay open
    for (; !listings.empty(); listings.pop_back())
        stop_using(budget, listings.back());
    if (leaving)
        stop_using(budget, leaving);
}

// A listing on the walk path that no queued file needs gives up its
// descriptor, the one highest up first: the walk comes back to it last.
static bool release_idle_listing(Walk& w)
{
    for (std::size_t i = 0; i + 1 < w.listings.size(); i++)
        if (release_if_idle(w.budget, w.listings[i]))
            return true;
    return false;
}

// Listings the walk has left whose rows have not all gone out.
static int left_open(const Walk& w)
{
    int on_path = static_cast<int>(std::count_if(w.listings.begin(), w.listings.end(),
                                                 [](const Listing* l) { return l->counted; }));
    return w.budget.listings - on_path;
}

// Gives a descriptor back, or waits for one to be: closes listings whose
// rows have gone out (when it may write), gives up a listing the walk can
// do without, or waits for a read in flight. False when it holds nothing
// more it could give back; once the run was interrupted it waits for
// nothing.
static bool give_back(Walk& w, bool may_write)
{
    return (may_write && left_open(w) > 0 && write_some(w)) || release_idle_listing(w) ||
           (may_write && write_some(w)) || sleep_until_a_read_ends(w.readers);
}

// Room in the budget for `more` listings.
static bool make_room(Walk& w, int more)
{
    while (w.budget.listings + more > listings_allowed(w.budget) && !failed(w))
        if (!give_back(w, true))
            return false;
    return !failed(w);
}

// Opens a listing within the budget: first room for it, then the open.
template <typename Open>
static bool open_listing(Walk& w, const std::string& path, int more, int* error, Open open)
{
    return open_in_budget(w, path, true, error, [&](int* e) {
        *e = EMFILE; // when the walk's own listings fill the budget
        return make_room(w, more) && open(e);
    });
}

// A directory is not walked when it leads back onto the walk path (a link
// or mount that would make the walk endless). One reached through a link,
// or below one, is walked only if no path has reached it before: links can
// lead to one directory by many paths, and a chain of levels with two links
// each would make the walk exponential, or with a link to each level's
// subdirectory beside it, quadratic. The subdirectories of the tree itself
// are always walked. One the storage gives no id cannot be recognised: it
// is walked if real, and not through a link, which might lead back.
static bool should_walk(Walk& w, DirId id, bool link, bool through_link)
{
    if (!identified(id))
        return !link;
    bool on_walk_path = std::any_of(w.listings.begin(), w.listings.end(),
                                    [id](const Listing* l) { return same_directory(l->id, id); });
    bool first_time = w.walked.insert(id).second;
    return !on_walk_path && (first_time || !through_link);
}

static void enter(Walk& w, const DirEntry& entry)
{
    DirListing* sub = nullptr;
    DirId id;
    int error = 0;
    open_listing(w, w.path, 1, &error, [&](int* e) {
        sub = open_subdirectory(w.listings.back()->dir, entry, &id, e);
        return sub != nullptr;
    });
    if (!sub)
        queue_failure(w, w.path, error);
    bool through_link = entry.link || w.listings.back()->below_link;
    if (sub && should_walk(w, id, entry.link, through_link)) {
        w.listings.push_back(adopt_listing(w.budget, sub, id, w.path.size()));
        w.listings.back()->below_link = through_link;
        return;
    }
    if (sub)
        close_listing(sub);
    queue_dot(w);
}

// The walk's path to a listing, as failures name it: that of the root "/"
// is all separator.
static std::string path_to(const Walk& w, const Listing* listing)
{
    std::size_t n = listing->path_len;
    return n ? w.path.substr(0, n) : std::string(1, PATH_SEPARATOR);
}

// The walk goes back up to a listing that may have given up its descriptor
// meanwhile; the listing it leaves closes once its rows have gone out.
static void leave(Walk& w)
{
    Listing* done = w.listings.back();
    w.listings.pop_back();
    w.leaving = done;
    if (!w.listings.empty()) {
        queue_dot(w);
        Listing* parent = w.listings.back();
        if (needs_take_up(parent->dir)) {
            // Through the ".." of the listing left, once no file needs that
            // one any more: one descriptor takes the place of the other.
            write_through(w, done->last);
            std::string path = path_to(w, parent);
            int error = 0;
            parent->broken = !open_listing(
                w, path, 0, &error, [&](int* e) { return take_up(w.budget, parent, done, e); });
            if (parent->broken)
                queue_failure(w, path, error);
        }
    }
    w.leaving = nullptr;
    stop_using(w.budget, done);
}

// Iterative rather than recursive, so that the depth of the tree is limited
// by memory, not by the stack. The walk lists; the readers read the files,
// and the walk writes what they hold in its own order.
static void walk_tree(Walk& w)
{
    FileSpec file;
    while (!w.listings.empty() && !failed(w) && !stop_asked(w)) {
        Listing* top = w.listings.back();
        DirEntry entry;
        int error = 0;
        if (top->broken || !read_entry(top->dir, &entry, &error)) {
            if (error)
                queue_failure(w, path_to(w, top), error);
            leave(w);
            continue;
        }

        w.path.resize(top->path_len);
        w.path += PATH_SEPARATOR;
        w.path += entry.name;
        if (entry.type == ENTRY_DIRECTORY) {
            enter(w, entry);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name)) {
            prepare_file(top->dir, entry, &file);
            queue_file(w, top, file);
        } else {
            queue_failure(w, w.path, entry.error);
        }
    }
}

WalkResult scan_directory(const RootDir& root, std::FILE* out, std::FILE* progress,
                          const WalkSetup& setup)
{
    WalkResult result;
    // An empty root would otherwise become the file system's root once
    // the separator is joined on.
    if (root.shown.empty()) {
        result.root_error = ENOENT;
        return result;
    }
    Walk w(setup, out, progress);
    set_limit(w.budget, setup.descriptors);
    start_queue(w);
    DirListing* dir = nullptr;
    DirId id;
    int error = 0;
    open_listing(w, root.shown, 1, &error, [&](int* e) {
        dir = open_root(root, &id, e);
        return dir != nullptr;
    });
    if (!dir) {
        result.root_error = error;
        return result;
    }

    w.path = root.shown;
    if (ends_in_separator(w.path))
        w.path.pop_back();
    w.listings.push_back(adopt_listing(w.budget, dir, id, w.path.size()));
    try {
        walk_tree(w);
        write_all(w);
    } catch (const std::bad_alloc&) {
        flush_rows(w); // the rows before stand
        end_dots(w);   // for the message that ends the run
        throw;
    }
    flush_rows(w);
    result.rows = w.rows;
    result.failure = w.failure;
    result.failures = w.failures;
    return result;
}
