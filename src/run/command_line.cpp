#include "run/command_line.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/platform.h"
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

    set_raw_output(stdout);
    std::time_t start = std::time(nullptr);
    WalkResult result;
    // The run stops at the first row that cannot be written; should that
    // be the column row, before the walk begins.
    if (int write_error = write_column_row(stdout))
        result.failure = {write_error, true, {}};
    else
        result = scan_directory(root, stdout, stderr);
    std::time_t end = std::time(nullptr);
    const Failure& failure = result.failure;

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
