#include "run/failures.h"

#include <cerrno>

#include "platform/platform.h"

bool is_shortage(int error)
{
    return error == EMFILE || error == ENFILE;
}

bool is_silent(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case EACCES:
    case EPERM:
    case ELOOP:
        return true;
    default:
        return false;
    }
}

void report_failure(std::FILE* err, const std::string& path, int error)
{
    std::fprintf(err, "aucatalog: %s: %s\n", path.c_str(), error_message(error));
}

void report_failures_not_shown(std::FILE* err, int failures)
{
    int more = failures - FAILURES_SHOWN;
    if (more > 0)
        std::fprintf(err, "aucatalog: %d more %s could not be read\n", more,
                     more == 1 ? "place" : "places");
}
