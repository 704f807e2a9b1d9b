// Temporary trees and running the built tool, for the end-to-end tests.
#pragma once

#include <string>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends. path is absolute and free of links.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path;
};

void make_dirs(const std::string& path);
void remove_tree(const std::string& path);

struct ToolResult {
    std::string out;
    std::string err;
    int status; // exit status, or -1 when it had to be killed or crashed
};

struct ToolRun {
    std::vector<std::string> args;
    std::string cwd;       // empty: the test's own
    std::string stdout_to; // empty: captured into out
    int timeout_seconds = 60;
    int max_open_files = 0; // 0: inherited
    int uid = -1;           // run as this user and group id; -1: as the test
};

// Runs the built aucatalog.
ToolResult run_tool(const ToolRun& run);
ToolResult run_tool(const std::vector<std::string>& args, const std::string& cwd = "");

// What the end-to-end tests check the tool's output against.

#include <gtest/gtest.h>

#include "fixture.h"

extern const std::string HEADER_ROW;

// What follows the path in the row of a default Fixture.
extern const std::string DEFAULT_ROW_TAIL;

// The data rows, sorted: the walk follows the file system's listing order.
std::vector<std::string> rows(const ToolResult& r);

// The sorted rows of default Fixtures at these paths.
std::vector<std::string> default_rows(std::vector<std::string> paths);

// A trunked talkgroup recording with every column filled, and what its row
// holds after the path.
Fixture talkgroup_fixture();
extern const std::string TALKGROUP_ROW_TAIL;

// Checks standard error: dots, then the summary with the given count.
void expect_progress(const ToolResult& r, std::size_t dots, int count);

using ToolRunner = ToolResult (*)(const std::vector<std::string>& args, const std::string& cwd);

// Roots that cannot be listed (missing, a file, empty): the column row,
// one line of error, status 1.
void expect_unlistable_roots(ToolRunner run, const std::string& missing, const std::string& file);

// A test that builds a tree below root().
struct TreeTest : ::testing::Test {
    TempDir tmp;
    std::string root() const { return tmp.path + "/rec"; }

    void recording(const std::string& rel, const Fixture& f = Fixture{})
    {
        std::string path = root() + "/" + rel;
        make_dirs(path.substr(0, path.rfind('/')));
        write_fixture(path, f);
    }
    void dir(const std::string& rel) { make_dirs(root() + "/" + rel); }
    void link(const std::string& target, const std::string& rel);
};
