#include "run/walk.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <unordered_set>
#include <vector>

#include "recording/header.h"
#include "run/budget.h"
#include "run/listings.h"

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
    Budget budget;
    std::vector<Listing*> listings; // the listings the walk is in, root first
    // Every directory walked so far: memory grows with the directories,
    // never with the files.
    std::unordered_set<DirId, DirIdHash, DirIdEqual> walked;
    std::string path; // of the entry in hand
    Failure failure;
    Readers* readers = nullptr;
    Listing* leaving = nullptr; // left, while rows go out before its parent is taken up

    ~Walk() // when the run stopped early, or ran out of memory
    {
        for (; !listings.empty(); listings.pop_back())
            stop_using(budget, listings.back());
        if (leaving)
            stop_using(budget, leaving);
    }
};

} // namespace

static bool is_dot_or_dotdot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// A listing on the walk path that no read needs gives up its descriptor,
// the one highest up first: the walk comes back to it last.
static bool release_idle_listing(Walk& walk)
{
    for (std::size_t i = 0; i + 1 < walk.listings.size(); i++)
        if (release_if_idle(walk.budget, walk.listings[i]))
            return true;
    return false;
}

// Listings the walk has left but whose files are still being read.
static int left_open(const Walk& walk)
{
    int on_path = static_cast<int>(std::count_if(walk.listings.begin(), walk.listings.end(),
                                                 [](const Listing* l) { return l->counted; }));
    return walk.budget.listings.load() - on_path;
}

// Room in the budget for `more` listings: listings left behind close as
// their files are read; failing those, listings on the walk path that no
// read needs give up their descriptors.
static bool make_room(Walk& walk, int more)
{
    while (walk.budget.listings.load() + more > listings_allowed(walk.budget) &&
           !walk.failure.error) {
        if (!(left_open(walk) > 0 && write_some(walk.readers)) && !release_idle_listing(walk) &&
            !write_some(walk.readers))
            return false;
    }
    return !walk.failure.error;
}

// An open in the walk (a subdirectory, or a listing taken up again) that
// finds no descriptor free is tried again once one is given back, and once
// more when the tool holds nothing it could give back. Should that fail too,
// the run stops there, after what was queued before has gone out.
template <typename Open>
static bool open_in_budget(Walk& walk, int more, std::size_t path_len, Open open)
{
    for (bool last_try = false;;) {
        int error = EMFILE; // when the walk's own listings fill the budget
        if (make_room(walk, more) && open(&error))
            return true;
        if (walk.failure.error || !is_shortage(error))
            return false;
        if (last_try) {
            write_all(walk.readers);
            if (!walk.failure.error)
                walk.failure = {error, false, walk.path.substr(0, path_len)};
            return false;
        }
        lower_limit(walk.budget);
        last_try = !(wait_for_a_read(walk.readers) || release_idle_listing(walk) ||
                     write_some(walk.readers));
    }
}

// A directory is not walked when it leads back onto the walk path (a link
// or mount that would make the walk endless). One reached through a link
// is walked only if no path has reached it before: links can lead to one
// directory by many paths, and a chain of levels with two links each would
// make the walk exponential. Real subdirectories are always walked.
static bool should_walk(Walk& walk, DirId id, bool link)
{
    bool on_walk_path = std::any_of(walk.listings.begin(), walk.listings.end(),
                                    [id](const Listing* l) { return same_directory(l->id, id); });
    bool first_time = walk.walked.insert(id).second;
    return !on_walk_path && (first_time || !link);
}

static void enter(Walk& walk, const DirEntry& entry)
{
    DirListing* sub = nullptr;
    DirId id;
    open_in_budget(walk, 1, walk.path.size(), [&](int* error) {
        return (sub = open_subdirectory(walk.listings.back()->dir, entry, &id, error)) != nullptr;
    });
    if (sub && should_walk(walk, id, entry.link)) {
        walk.listings.push_back(adopt_listing(walk.budget, sub, id, walk.path.size()));
        return;
    }
    if (sub)
        close_listing(sub);
    queue_dot(walk.readers);
}

// The walk goes back up to a listing that may have given up its descriptor
// meanwhile; the listing it leaves closes once its files are read.
static void leave(Walk& walk)
{
    Listing* done = walk.listings.back();
    walk.listings.pop_back();
    walk.leaving = done;
    if (!walk.listings.empty()) {
        queue_dot(walk.readers);
        Listing* parent = walk.listings.back();
        if (needs_take_up(parent->dir)) {
            // Through the ".." of the listing left, once no read needs that
            // one any more: one descriptor takes the place of the other.
            while (done->users.load() > 1 && write_some(walk.readers)) {
            }
            open_in_budget(walk, 0, parent->path_len,
                           [&](int* error) { return take_up(walk.budget, parent, done, error); });
        }
    }
    walk.leaving = nullptr;
    stop_using(walk.budget, done);
}

// Iterative rather than recursive, so that the depth of the tree is limited
// by memory, not by the stack. The walk lists; the readers read the files
// and write what they hold in the walk's order.
static void walk_tree(Walk& walk)
{
    FileSpec file;
    while (!walk.listings.empty() && !walk.failure.error) {
        Listing* top = walk.listings.back();
        DirEntry entry;
        if (!read_entry(top->dir, &entry)) {
            leave(walk);
            continue;
        }
        if (is_dot_or_dotdot(entry.name))
            continue;

        walk.path.resize(top->path_len);
        walk.path += PATH_SEPARATOR;
        walk.path += entry.name;
        if (entry.type == ENTRY_DIRECTORY) {
            enter(walk, entry);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name)) {
            prepare_file(top->dir, entry, &file);
            queue_file(walk.readers, top, file, walk.path);
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
    Walk walk;
    set_limit(walk.budget, setup.descriptors);
    int error = 0;
    DirId id;
    DirListing* dir = open_root(root, &id, &error);
    if (!dir && is_shortage(error)) // nothing held to give back: once more
        dir = open_root(root, &id, &error);
    if (!dir) {
        result.root_error = error;
        return result;
    }

    walk.path = root.shown;
    if (walk.path.back() == PATH_SEPARATOR)
        walk.path.pop_back();
    walk.listings.push_back(adopt_listing(walk.budget, dir, id, walk.path.size()));
    unsigned processors = setup.processors ? setup.processors : processor_count();
    auto release = [](void* w) { return release_idle_listing(*static_cast<Walk*>(w)); };
    std::unique_ptr<Readers, StopReaders> readers =
        start_readers({out, progress, &walk.budget, &walk.failure, setup.read, setup.clock,
                       processors, release, &walk, setup.trace});
    walk.readers = readers.get();
    walk_tree(walk);
    write_all(walk.readers);
    result.rows = rows_written(walk.readers);
    result.failure = walk.failure;
    return result;
}
