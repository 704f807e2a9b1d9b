#include <cstdio>
#include <new>

#include "platform/platform.h"
#include "run/command_line.h"

int main(int argc, char** argv)
{
    try {
        return run_catalogue(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("aucatalog: out of memory\n", stderr);
        // Interrupted, the walk may have let the readers go, perhaps in
        // reads that never end: the process ends by the signal now, before
        // exit() would destroy what they use.
        if (interrupted()) {
            std::fflush(stdout);
            std::fputs("aucatalog: interrupted\n", stderr);
            end_interrupted();
        }
        return 1;
    }
}
