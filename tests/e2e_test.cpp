// Runs the built tool on real trees made in a temporary directory.
#include <gtest/gtest.h>

#include <cstring>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "fixture.h"
#include "support.h"

// Trees are made below tmp.path/rec.
using EndToEnd = TreeTest;

TEST_F(EndToEnd, EmptyRootGivesHeaderRowAndZeroCount)
{
    dir("");
    ToolResult r = run_tool({root()});
    EXPECT_EQ(r.out, HEADER_ROW);
    expect_progress(r, 0, 0);
}

TEST_F(EndToEnd, OneDotPerSubdirectoryAtEveryDepth)
{
    dir("a/b/c");
    dir("d");
    ToolResult r = run_tool({root()});
    EXPECT_EQ(r.out, HEADER_ROW);
    expect_progress(r, 4, 0);
}

TEST_F(EndToEnd, WritesTheFullRowOfATalkgroupRecording)
{
    recording("2017/A001.AU", talkgroup_fixture());
    ToolResult r = run_tool({root()});
    EXPECT_EQ(r.out, HEADER_ROW + root() + "/2017/A001.AU" + TALKGROUP_ROW_TAIL);
    expect_progress(r, 1, 1);
}

TEST_F(EndToEnd, CandidatesByNameEndingInAnyCase)
{
    for (const char* name : {"X.AU", "x.au", "x.Au", ".au", "x.aux", "xau", "x.au.bak"})
        recording(name);
    recording("y.au/inner.au"); // a directory is walked, whatever its name
    Fixture foreign;
    foreign.data_offset = 24;
    recording("plain.au", foreign);
    write_file(root() + "/short.au", "short");

    ToolResult r = run_tool({root()});
    EXPECT_EQ(rows(r), default_rows({root() + "/X.AU", root() + "/x.au", root() + "/x.Au",
                                     root() + "/.au", root() + "/y.au/inner.au"}));
    expect_progress(r, 1, 5);
}

TEST_F(EndToEnd, PathsAreBuiltOnTheRootAsGiven)
{
    recording("a/r.au");
    struct Case {
        std::vector<std::string> args;
        std::string cwd;
        std::string path;
    } const cases[] = {
        {{root()}, "", root() + "/a/r.au"},
        {{root() + "/"}, "", root() + "/a/r.au"},
        {{root() + "//"}, "", root() + "//a/r.au"},
        {{"rec"}, tmp.path, "rec/a/r.au"},
        {{"rec/"}, tmp.path, "rec/a/r.au"},
        {{"./rec"}, tmp.path, "./rec/a/r.au"},
        {{"."}, root(), "./a/r.au"},
        {{}, root(), root() + "/a/r.au"},
        {{"rec", "ignored", "--help"}, tmp.path, "rec/a/r.au"},
    };
    for (const Case& c : cases) {
        ToolResult r = run_tool(c.args, c.cwd);
        EXPECT_EQ(rows(r), default_rows({c.path})) << c.path;
        expect_progress(r, 1, 1);
    }
}

TEST_F(EndToEnd, PathsThatWouldBreakTheRowAreQuoted)
{
    recording("a,b/x.au");
    recording("say \"hi\".au");
    recording("plain name.au");
    ToolResult r = run_tool({"rec"}, tmp.path);
    EXPECT_EQ(rows(r),
              default_rows({"\"rec/a,b/x.au\"", "\"rec/say \"\"hi\"\".au\"", "rec/plain name.au"}));
}

TEST_F(EndToEnd, SpecialFilesAreNeverOpened)
{
    recording("real.au");
    ASSERT_EQ(mkfifo((root() + "/pipe.au").c_str(), 0600), 0);
    link("/dev/zero", "zero.au");
    link("nowhere.au", "dangling.au");

    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock_path = root() + "/sock.au";
    ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, sock_path.c_str(), sock_path.size() + 1);
    ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);

    ToolRun run;
    run.args = {root()};
    run.timeout_seconds = 20;
    ToolResult r = run_tool(run);
    close(sock);
    EXPECT_EQ(rows(r), default_rows({root() + "/real.au"}));
    expect_progress(r, 0, 1);
}

TEST_F(EndToEnd, LinksAreFollowedButNeverInCircles)
{
    recording("a/x.au");
    recording("b/y.au");
    dir("b/deep");
    link("..", "a/up");             // the parent: on the walk path
    link(".", "a/self");            // itself
    link(root(), "b/deep/top");     // an ancestor two levels up, by absolute path
    link("../a", "b/to_a");         // a sibling: walked again under the link's name
    link("a/x.au", "file_link.au"); // a link to a recording

    ToolRun run;
    run.args = {root()};
    run.timeout_seconds = 20;
    ToolResult r = run_tool(run);
    EXPECT_EQ(rows(r), default_rows({root() + "/a/x.au", root() + "/b/y.au",
                                     root() + "/b/to_a/x.au", root() + "/file_link.au"}));
    // a, up, self, b, deep, top, to_a, and to_a's own up and self.
    expect_progress(r, 9, 4);
}

TEST_F(EndToEnd, RootThatCannotBeListedIsAnError)
{
    recording("file.au");
    expect_unlistable_roots(run_tool, root() + "/missing", root() + "/file.au");
}

TEST_F(EndToEnd, UnlistableSubdirectoryIsPassedOver)
{
    recording("ok/a.au");
    link("missing_dir", "gone"); // dangling: neither file nor directory
    ToolResult r = run_tool({root()});
    EXPECT_EQ(rows(r), default_rows({root() + "/ok/a.au"}));
    expect_progress(r, 1, 1);
}

TEST_F(EndToEnd, FailedCatalogueWriteIsReported)
{
    for (int i = 0; i < 500; i++)
        recording("r" + std::to_string(i) + ".au");
    ToolRun run;
    run.args = {root()};
    run.stdout_to = "/dev/full";
    ToolResult r = run_tool(run);
    EXPECT_EQ(r.status, 1);
    std::string message = "aucatalog: error writing the catalogue: No space left on device\n";
    ASSERT_GE(r.err.size(), message.size());
    EXPECT_EQ(r.err.substr(r.err.size() - message.size()), message);
}

TEST_F(EndToEnd, CurrentDirectoryThatIsGoneIsAnError)
{
    // The tool inherits a working directory that no longer exists.
    dir("gone");
    int here = open(".", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(here, 0);
    ASSERT_EQ(chdir((root() + "/gone").c_str()), 0);
    ASSERT_EQ(rmdir((root() + "/gone").c_str()), 0);
    ToolResult r = run_tool(ToolRun{});
    ASSERT_EQ(fchdir(here), 0);
    close(here);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "aucatalog: cannot determine the current directory: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}
