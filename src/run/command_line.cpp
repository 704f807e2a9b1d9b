#include "run/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "recording/row.h"
#include "run/summary.h"
#include "run/walk.h"

// "aucatalog: PATH: REASON", for a root that cannot be listed and for a
// file or directory that descriptors ran short for.
static void complain(const std::string& path, int error)
{
    std::fprintf(stderr, "aucatalog: %s: %s\n", path.c_str(), std::strerror(error));
}

int run_catalogue(int argc, char** argv)
{
    RootDir root;
    int error = 0;
    if (!choose_root(argc, argv, &root, &error)) {
        std::fprintf(stderr, "aucatalog: cannot determine the current directory: %s\n",
                     std::strerror(error));
        return 1;
    }

    // The catalogue is meant to be redirected to a file; a large buffer
    // keeps the number of writes far below the number of rows. The buffer
    // is given explicitly: some C libraries ignore the size without one.
    static char out_buffer[1 << 16];
    std::setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);
    std::fputs(COLUMN_HEADER_ROW, stdout);
    std::time_t start = std::time(nullptr);
    WalkResult result = scan_directory(root, stdout, stderr);
    std::time_t end = std::time(nullptr);
    Failure& failure = result.failure;
    errno = 0;
    if (std::fflush(stdout) != 0 && !failure.error)
        failure = {errno ? errno : EIO, true, {}};

    if (result.root_error)
        complain(root.shown, result.root_error);
    else
        write_run_summary(stderr, result.rows, start, end);
    if (failure.writing)
        std::fprintf(stderr, "aucatalog: error writing the catalogue: %s\n",
                     std::strerror(failure.error));
    else if (failure.error)
        complain(failure.path, failure.error);
    return result.root_error || failure.error ? 1 : 0;
}
