#include <cstdio>
#include <new>

#include "run/command_line.h"

int main(int argc, char** argv)
{
    try {
        return run_catalogue(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("aucatalog: out of memory\n", stderr);
        return 1;
    }
}
