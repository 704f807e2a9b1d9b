// Trees, names and files that break naive walkers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/platform.h"
#include "recording/header.h"
#include "support.h"

using Hardening = TreeTest;

static void write_at(int dir_fd, const char* name, const std::string& bytes)
{
    int fd = openat(dir_fd, name, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(fd);
}

// A chain of `depth` directories named d, made relative to each other so
// that the full path may exceed what the kernel accepts in one piece.
static std::string make_chain(const std::string& root, int depth, const std::string& recording)
{
    make_dirs(root);
    int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
    std::string path = root;
    for (int i = 0; i < depth && fd >= 0; i++) {
        mkdirat(fd, "d", 0755);
        int next = openat(fd, "d", O_RDONLY | O_DIRECTORY);
        close(fd);
        fd = next;
        path += "/d";
    }
    EXPECT_GE(fd, 0);
    write_at(fd, recording.c_str(), fixture_file(Fixture{}));
    close(fd);
    return path + "/" + recording;
}

TEST_F(Hardening, TreeDeeperThanPathMaxAndTheOpenFilesLimit)
{
    std::string deepest = make_chain(root(), 3000, "bottom.au");
    ASSERT_GT(deepest.size(), 4096u);
    ToolRun run;
    run.args = {root()};
    run.max_open_files = 256;
    ToolResult r = run_tool(run);
    EXPECT_EQ(rows(r), default_rows({deepest}));
    expect_progress(r, 3000, 1);
}

// Every level holds recordings beside its subdirectory, so listings given
// up for want of descriptors must be taken up again, some of them reached
// through links from outside the tree.
TEST_F(Hardening, DeepListingsResumeWhereTheyLeftOff)
{
    std::vector<std::string> expected;
    std::string rel;
    for (int level = 0; level < 120; level++) {
        // Enough names that some follow sub in any listing order.
        for (const char* name : {"a.au", "b.au", "c.au", "d.au", "e.au", "f.au", "g.au", "h.au"}) {
            recording(rel + name);
            expected.push_back(root() + "/" + rel + name);
        }
        if (level % 30 == 29) {
            std::string outside = tmp.path + "/store" + std::to_string(level);
            make_dirs(outside);
            link(outside, rel + "sub");
        } else {
            dir(rel + "sub");
        }
        rel += "sub/";
    }
    ToolRun run;
    run.args = {root()};
    run.max_open_files = 48;
    ToolResult r = run_tool(run);
    EXPECT_EQ(rows(r), default_rows(expected));
    expect_progress(r, 120, 960);
}

TEST_F(Hardening, DirectoryOfAHundredThousandEntries)
{
    // Hard links make the entries without the cost of as many inodes (but
    // ext4 allows 65,000 links to one inode).
    make_dirs(root() + "/wide");
    std::string recording = tmp.path + "/proto.au";
    std::string others[] = {tmp.path + "/proto0.txt", tmp.path + "/proto1.txt"};
    write_fixture(recording, Fixture{});
    for (const std::string& other : others)
        write_file(other, "");
    std::vector<std::string> expected;
    for (int i = 0; i < 100000; i++) {
        std::string path = root() + "/wide/n" + std::to_string(i);
        if (i % 100 == 0) {
            path += ".au";
            expected.push_back(path);
            ASSERT_EQ(::link(recording.c_str(), path.c_str()), 0);
        } else {
            ASSERT_EQ(::link(others[i % 2].c_str(), (path + ".txt").c_str()), 0);
        }
    }
    ToolResult r = run_tool({root()});
    EXPECT_EQ(rows(r), default_rows(expected));
    expect_progress(r, 1, 1000);
}

TEST_F(Hardening, EveryByteOfANamePassesThrough)
{
    std::string low, high;
    for (int c = 1; c < 0x80; c++)
        if (c != '/')
            low += static_cast<char>(c);
    for (int c = 0x80; c < 0x100; c++)
        high += static_cast<char>(c);
    dir("");
    for (const std::string& name : {low, high})
        write_fixture(root() + "/" + name + ".au", Fixture{});

    ToolResult r = run_tool({root()});
    // The low half holds a comma, quotes, CR and LF: quoted, quotes doubled.
    std::string quoted_low = "\"" + root() + "/";
    for (char c : low)
        quoted_low += c == '"' ? std::string("\"\"") : std::string(1, c);
    quoted_low += ".au\"";
    std::string row_low = quoted_low + DEFAULT_ROW_TAIL + "\n";
    std::string row_high = root() + "/" + high + ".au" + DEFAULT_ROW_TAIL + "\n";
    EXPECT_TRUE(r.out == HEADER_ROW + row_low + row_high ||
                r.out == HEADER_ROW + row_high + row_low)
        << r.out;
    expect_progress(r, 0, 2);
}

TEST_F(Hardening, SpecialFilesAndLinksNeverHang)
{
    recording("a/b/c/real.au");
    ASSERT_EQ(mkfifo((root() + "/fifo.au").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo((root() + "/a/b/fifo.AU").c_str(), 0600), 0);
    if (mknod((root() + "/null.au").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ASSERT_EQ(errno, EPERM); // only root makes device nodes
    }
    link("/dev/null", "devlink.au");
    link("nothing-here", "dangling.au");
    link("self.au", "self.au"); // a link loop of its own
    link("..", "a/up");         // loops at several depths
    link("../..", "a/b/upup");
    link("../../..", "a/b/c/top");
    link(root() + "/a", "a/b/c/abs");
    link("c/real.au", "a/b/real_link.au");

    ToolRun run;
    run.args = {root()};
    run.timeout_seconds = 20;
    ToolResult r = run_tool(run);
    EXPECT_EQ(rows(r), default_rows({root() + "/a/b/c/real.au", root() + "/a/b/real_link.au"}));
    // a, b, c and the four links to directories on the walk path.
    expect_progress(r, 7, 2);
}

// The platform layer after the listing: the file may be gone, shorter, or
// something else by the time it is read.
TEST_F(Hardening, FilesChangingUnderTheWalk)
{
    for (const char* name : {"kept.au", "truncated.au", "removed.au", "piped.au", "grown.au"})
        recording(name);
    int error = 0;
    DirListing* dir = open_root(root(), &error);
    ASSERT_NE(dir, nullptr);
    std::string base = root() + "/";
    ASSERT_EQ(truncate((base + "truncated.au").c_str(), 100), 0);
    ASSERT_EQ(unlink((base + "removed.au").c_str()), 0);
    ASSERT_EQ(unlink((base + "piped.au").c_str()), 0);
    ASSERT_EQ(mkfifo((base + "piped.au").c_str(), 0600), 0);
    ASSERT_EQ(truncate((base + "grown.au").c_str(), 320 + 8000 * 90), 0);

    auto read = [&](const char* name) {
        std::string path = base + name;
        return read_recording_header({dir, name, path.c_str()});
    };
    EXPECT_TRUE(read("kept.au"));
    EXPECT_FALSE(read("truncated.au"));
    EXPECT_FALSE(read("removed.au"));
    EXPECT_FALSE(read("piped.au"));
    ASSERT_TRUE(read("grown.au"));
    EXPECT_EQ(read("grown.au")->duration_seconds, 90u);
    close_listing(dir);
}

TEST_F(Hardening, UnreadableDirectoriesAndFilesArePassedOver)
{
    recording("ok/a.au");
    recording("locked/b.au");
    recording("secret.au");
    ASSERT_EQ(chmod((root() + "/locked").c_str(), 0), 0);
    ASSERT_EQ(chmod((root() + "/secret.au").c_str(), 0), 0);
    // Root reads everything: drop to an ordinary user, who needs a way in.
    ToolRun run;
    run.args = {root()};
    if (geteuid() == 0) {
        run.uid = 65534;
        ASSERT_EQ(chmod(tmp.path.c_str(), 0755), 0);
    }
    ToolResult r = run_tool(run);
    chmod((root() + "/locked").c_str(), 0755);
    EXPECT_EQ(rows(r), default_rows({root() + "/ok/a.au"}));
    expect_progress(r, 2, 1);
}
