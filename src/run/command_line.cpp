#include "run/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
#include "recording/row.h"
#include "run/failures.h"
#include "run/summary.h"
#include "run/walk.h"

int run_catalogue(int argc, char** argv)
{
    catch_interruptions();
    RootDir root;
    int error = 0;
    if (!choose_root(argc, argv, &root, &error)) {
        std::fprintf(stderr, "aucatalog: cannot determine the current directory: %s\n",
                     error_message(error));
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

    if (result.root_error) {
        report_failure(stderr, root.shown, result.root_error);
    } else {
        write_run_summary(stderr, result.rows, start, end);
        report_failures_not_shown(stderr, result.failures);
    }
    if (failure.writing)
        std::fprintf(stderr, "aucatalog: error writing the catalogue: %s\n",
                     std::strerror(failure.error));
    else if (failure.error)
        report_failure(stderr, failure.path, failure.error);
    // Asked, not what the walk saw: a signal after its last look (while the
    // last rows are written, say) ends the run as one, so that a script stops.
    if (interrupted()) {
        std::fputs("aucatalog: interrupted\n", stderr);
        end_interrupted();
    }
    return result.root_error || failure.error || result.failures ? 1 : 0;
}
