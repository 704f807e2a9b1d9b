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
};

// Runs the built aucatalog.
ToolResult run_tool(const ToolRun& run);
ToolResult run_tool(const std::vector<std::string>& args, const std::string& cwd = "");
