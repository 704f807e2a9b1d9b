// The Windows build, aucatalog.exe, run under Wine on trees made here: the
// paths are joined with backslashes on roots given as Z:\... or relative,
// and both standard streams end their lines with CR LF.
#include <gtest/gtest.h>

#include <unistd.h>

#include "support.h"

// Z: is Wine's drive for the Unix root.
static std::string windows_path(const std::string& unix_path)
{
    std::string p = "Z:" + unix_path;
    for (char& c : p)
        if (c == '/')
            c = '\\';
    return p;
}

// Checks that every line ends in CR LF and gives the text with LF alone.
static std::string from_crlf(const std::string& text)
{
    std::string lf;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\n') {
            EXPECT_TRUE(i > 0 && text[i - 1] == '\r') << "bare LF at " << i << " in " << text;
            lf.pop_back();
        }
        lf += text[i];
    }
    return lf;
}

static ToolResult run_windows(const std::vector<std::string>& args, const std::string& cwd = "")
{
    ToolRun run;
    run.args = args;
    run.cwd = cwd;
    run.timeout_seconds = 60;
    ToolResult r = run_tool(run);
    r.out = from_crlf(r.out);
    r.err = from_crlf(r.err);
    return r;
}

struct Wine : TreeTest {
    Wine()
    {
        setenv("WINEPREFIX", AUCATALOG_WINE_PREFIX, 1);
        setenv("WINEDEBUG", "-all", 1);
    }
    std::string win_root() const { return windows_path(root()); }
};

TEST_F(Wine, EmptyRootAndNestedDirectories)
{
    dir("");
    ToolResult r = run_windows({win_root()});
    EXPECT_EQ(r.out, HEADER_ROW);
    expect_progress(r, 0, 0);

    dir("a/b/c");
    r = run_windows({win_root()});
    EXPECT_EQ(r.out, HEADER_ROW);
    expect_progress(r, 3, 0);
}

TEST_F(Wine, WritesTheFullRowWithBackslashes)
{
    recording("2017/A001.AU", talkgroup_fixture());
    ToolResult r = run_windows({win_root()});
    EXPECT_EQ(r.out, HEADER_ROW + win_root() + "\\2017\\A001.AU" + TALKGROUP_ROW_TAIL);
    expect_progress(r, 1, 1);
}

TEST_F(Wine, CandidatesByNameEndingInAnyCase)
{
    for (const char* name : {"X.AU", "x1.au", "x2.Au", ".au", "x.aux", "xau"})
        recording(name);
    recording("y.au/inner.au");
    recording("a,b/c.au");
    ToolResult r = run_windows({win_root()});
    std::string w = win_root();
    EXPECT_EQ(rows(r), default_rows({w + "\\X.AU", w + "\\x1.au", w + "\\x2.Au", w + "\\.au",
                                     w + "\\y.au\\inner.au", "\"" + w + "\\a,b\\c.au\""}));
    expect_progress(r, 2, 6);
}

TEST_F(Wine, PathsAreBuiltOnTheRootAsGiven)
{
    recording("a/r.au");
    struct Case {
        std::vector<std::string> args;
        std::string cwd;
        std::string path;
    } const cases[] = {
        {{win_root()}, "", win_root() + "\\a\\r.au"},
        {{win_root() + "\\"}, "", win_root() + "\\a\\r.au"},
        {{"rec"}, tmp.path, "rec\\a\\r.au"},
        {{"rec\\"}, tmp.path, "rec\\a\\r.au"},
        {{".\\rec"}, tmp.path, ".\\rec\\a\\r.au"},
        {{}, root(), win_root() + "\\a\\r.au"},
    };
    for (const Case& c : cases) {
        ToolResult r = run_windows(c.args, c.cwd);
        EXPECT_EQ(rows(r), default_rows({c.path})) << c.path;
        expect_progress(r, 1, 1);
    }
}

// A drive of its own whose root is the tree: "Y:\" is shortened to "Y:".
TEST_F(Wine, DriveRoot)
{
    recording("a/r.au");
    std::string drive = std::string(AUCATALOG_WINE_PREFIX) + "/dosdevices/y:";
    unlink(drive.c_str());
    ASSERT_EQ(symlink(root().c_str(), drive.c_str()), 0);
    ToolResult r = run_windows({"Y:\\"});
    unlink(drive.c_str());
    EXPECT_EQ(rows(r), default_rows({"Y:\\a\\r.au"}));
    expect_progress(r, 1, 1);
}

TEST_F(Wine, LinksBackOntoTheWalkPathAreNotFollowed)
{
    recording("a/x.au");
    link("..", "a/up");
    link("../a", "a/self");
    ToolResult r = run_windows({win_root()});
    EXPECT_EQ(rows(r), default_rows({win_root() + "\\a\\x.au"}));
    expect_progress(r, 3, 1);
}

TEST_F(Wine, RootThatCannotBeListedIsAnError)
{
    recording("file.au");
    expect_unlistable_roots(run_windows, win_root() + "\\missing", win_root() + "\\file.au");
}
