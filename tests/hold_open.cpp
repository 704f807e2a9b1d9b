// For the suite under Wine: holds the file named open, sharing it with no
// other program, until standard input ends.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    HANDLE file = argc == 2
                      ? CreateFileA(argv[1], GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)
                      : INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::puts("held");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
