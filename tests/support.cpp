#include "support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TempDir::TempDir()
{
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/aucatalog-test-XXXXXX";
    if (!mkdtemp(&templ[0]))
        throw std::runtime_error("mkdtemp failed");
    char real[PATH_MAX];
    if (!realpath(templ.c_str(), real))
        throw std::runtime_error("realpath failed");
    path = real;
}

TempDir::~TempDir()
{
    remove_tree(path);
}

void make_dirs(const std::string& path)
{
    std::filesystem::create_directories(path);
}

void remove_tree(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
    if (ec) {
        // Trees deeper than the kernel's path limit need a tool that walks
        // relative to each directory; rm does.
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", path.c_str());
    }
}

static std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

ToolResult run_tool(const ToolRun& run)
{
    TempDir capture;
    std::string out_path = run.stdout_to.empty() ? capture.path + "/out" : run.stdout_to;
    std::string err_path = capture.path + "/err";

    std::vector<char*> argv;
#ifdef AUCATALOG_LAUNCHER
    std::string launcher = AUCATALOG_LAUNCHER; // runs the tool built for another system
    argv.push_back(&launcher[0]);
#endif
    std::string exe = AUCATALOG_EXE;
    argv.push_back(&exe[0]);
    std::vector<std::string> args = run.args;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0))
            _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (run.max_open_files > 0) {
            rlimit lim{static_cast<rlim_t>(run.max_open_files),
                       static_cast<rlim_t>(run.max_open_files)};
            if (setrlimit(RLIMIT_NOFILE, &lim) != 0)
                _exit(127);
        }
        if (run.uid >= 0 &&
            (setgroups(0, nullptr) != 0 || setgid(run.uid) != 0 || setuid(run.uid) != 0))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int wstatus = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(run.timeout_seconds);
    for (;;) {
        pid_t r = waitpid(pid, &wstatus, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &wstatus, 0);
            return {"", "timed out", -1};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ToolResult result;
    result.out = run.stdout_to.empty() ? slurp(out_path) : "";
    result.err = slurp(err_path);
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    return result;
}

ToolResult run_tool(const std::vector<std::string>& args, const std::string& cwd)
{
    ToolRun run;
    run.args = args;
    run.cwd = cwd;
    return run_tool(run);
}

const std::string HEADER_ROW =
    "AUFile path,date,time,duration,alpha tag,type,tsys num,tsys type,tsys tag,site tag,"
    "tgid 1,tgid 2,rid 1,rid 2,freq 1,freq 2,sq mode,sq value,info,other\n";

const std::string DEFAULT_ROW_TAIL =
    ",2017-01-05,07:03:09,0:01,\"FIRE DISP\",CONV,-1,,,,0,0,0,0,154.430000,0.000000,,,\"\",\"\"";

Fixture talkgroup_fixture()
{
    Fixture f;
    f.record_type = 1;
    f.system_number = 3;
    f.system_type = 3;
    f.system_tag = "STATEWIDE";
    f.site_tag = "Site 7";
    f.tgid1 = 2001;
    f.tgid2 = 2002;
    f.rid1 = 1234567;
    f.rid2 = -1;
    f.freq1_hz = 851012500;
    f.freq2_hz = 806012500;
    f.squelch_mode = 3;
    f.squelch_value = 0x1F;
    f.info = "say \"again\"";
    f.other = "x";
    f.audio_bytes = 8000ull * 125;
    return f;
}

const std::string TALKGROUP_ROW_TAIL =
    ",2017-01-05,07:03:09,2:05,\"FIRE DISP\",TGRP,3,P25,\"STATEWIDE\",\"Site 7\",2001,2002,"
    "1234567,-1,851.012500,806.012500,P25,01F,\"say \"\"again\"\"\",\"x\"\n";

void expect_unlistable_roots(ToolRunner run, const std::string& missing, const std::string& file)
{
    struct Case {
        std::string root;
        std::string reason;
    } const cases[] = {
        {missing, "No such file or directory"},
        {file, "Not a directory"},
        {"", "No such file or directory"},
    };
    for (const Case& c : cases) {
        ToolResult r = run({c.root}, "");
        EXPECT_EQ(r.out, HEADER_ROW);
        EXPECT_EQ(r.err, "aucatalog: " + c.root + ": " + c.reason + "\n");
        EXPECT_EQ(r.status, 1);
    }
}

std::vector<std::string> rows(const ToolResult& r)
{
    EXPECT_EQ(r.out.compare(0, HEADER_ROW.size(), HEADER_ROW), 0) << r.out;
    std::vector<std::string> lines;
    std::istringstream in(r.out.substr(std::min(HEADER_ROW.size(), r.out.size())));
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> default_rows(std::vector<std::string> paths)
{
    for (std::string& p : paths)
        p += DEFAULT_ROW_TAIL;
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The ending depends on the clock: the walk may cross a second boundary.
static bool is_summary_ending(const std::string& s)
{
    if (s == " less than a second\n" || s == " 1 second\n")
        return true;
    long seconds = 0, rate = 0;
    int end = 0;
    return std::sscanf(s.c_str(), " %ld seconds (%ld per second)\n%n", &seconds, &rate, &end) ==
               2 &&
           static_cast<std::size_t>(end) == s.size();
}

void expect_progress(const ToolResult& r, std::size_t dots, int count)
{
    EXPECT_EQ(r.status, 0) << r.err;
    std::string head =
        std::string(dots, '.') + "\n" + std::to_string(count) + " total files processed in";
    EXPECT_TRUE(r.err.compare(0, head.size(), head) == 0 &&
                is_summary_ending(r.err.substr(head.size())))
        << r.err.substr(0, 200);
}

void TreeTest::link(const std::string& target, const std::string& rel)
{
    ASSERT_EQ(symlink(target.c_str(), (root() + "/" + rel).c_str()), 0) << rel;
}
