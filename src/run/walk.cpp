#include "run/walk.h"

#include <algorithm>
#include <cerrno>

#include "recording/header.h"
#include "run/walker.h"

Walk::Walk(const WalkSetup& s, std::FILE* o, std::FILE* p)
    : setup(s), processors(s.processors ? s.processors : processor_count()), out(o), progress(p)
{
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

static bool is_dot_or_dotdot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
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

bool give_back(Walk& w, bool may_write)
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
static bool open_listing(Walk& w, const std::string& path, int more, Open open)
{
    return open_in_budget(w, path, true, [&](int* error) {
        *error = EMFILE; // when the walk's own listings fill the budget
        return make_room(w, more) && open(error);
    });
}

// A directory is not walked when it leads back onto the walk path (a link
// or mount that would make the walk endless). One reached through a link
// is walked only if no path has reached it before: links can lead to one
// directory by many paths, and a chain of levels with two links each would
// make the walk exponential. Real subdirectories are always walked.
static bool should_walk(Walk& w, DirId id, bool link)
{
    bool on_walk_path = std::any_of(w.listings.begin(), w.listings.end(),
                                    [id](const Listing* l) { return same_directory(l->id, id); });
    bool first_time = w.walked.insert(id).second;
    return !on_walk_path && (first_time || !link);
}

static void enter(Walk& w, const DirEntry& entry)
{
    DirListing* sub = nullptr;
    DirId id;
    int error = 0;
    open_listing(w, w.path, 1, [&](int* e) {
        sub = open_subdirectory(w.listings.back()->dir, entry, &id, e);
        error = *e;
        return sub != nullptr;
    });
    if (!sub)
        queue_failure(w, w.path, error);
    if (sub && should_walk(w, id, entry.link)) {
        w.listings.push_back(adopt_listing(w.budget, sub, id, w.path.size()));
        return;
    }
    if (sub)
        close_listing(sub);
    queue_dot(w);
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
            std::string path = w.path.substr(0, parent->path_len);
            int error = 0;
            parent->broken = !open_listing(w, path, 0, [&](int* e) {
                bool ok = take_up(w.budget, parent, done, e);
                error = *e;
                return ok;
            });
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
                queue_failure(w, w.path.substr(0, top->path_len), error);
            leave(w);
            continue;
        }
        if (is_dot_or_dotdot(entry.name))
            continue;

        w.path.resize(top->path_len);
        w.path += PATH_SEPARATOR;
        w.path += entry.name;
        if (entry.type == ENTRY_DIRECTORY) {
            enter(w, entry);
        } else if (entry.type == ENTRY_FILE && has_au_suffix(entry.name)) {
            prepare_file(top->dir, entry, &file);
            queue_file(w, top, file);
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
    open_listing(w, root.shown, 1, [&](int* e) {
        dir = open_root(root, &id, e);
        error = *e;
        return dir != nullptr;
    });
    if (!dir) {
        result.root_error = error;
        return result;
    }

    w.path = root.shown;
    if (w.path.back() == PATH_SEPARATOR)
        w.path.pop_back();
    w.listings.push_back(adopt_listing(w.budget, dir, id, w.path.size()));
    walk_tree(w);
    write_all(w);
    result.rows = w.rows;
    result.failure = w.failure;
    result.failures = w.failures;
    result.interrupted = w.interrupted;
    return result;
}
