// Win32: listings come from FindFirstFileA/FindNextFileA on "DIR\*", and
// files are opened by their full path (the ANSI functions' path-length
// limit applies). Paths and names are the ANSI code page's bytes, passed
// through unchanged.
#include "platform/platform.h"

#include <cerrno>
#include <windows.h>

const char PATH_SEPARATOR = '\\';

struct DirListing {
    HANDLE find; // INVALID_HANDLE_VALUE: nothing (more) to list
    WIN32_FIND_DATAA data;
    bool pending; // data holds an entry not yet returned
    DirId id;
};

static int errno_from(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

// Volume serial number and file index identify a directory, whichever
// junction or link it was reached through. A directory that cannot be
// identified gets an id no other directory has, so it is never taken for
// one on the walk path.
static DirId directory_id(const std::string& path)
{
    static std::uint64_t unidentified = 0;
    HANDLE h = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool known = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!known)
        return DirId{UINT64_MAX, unidentified++};
    return DirId{info.dwVolumeSerialNumber,
                 std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

static DirListing* open_listing(const std::string& path, int* error)
{
    // "D:" alone would name the drive's current directory; "D:\" is what
    // the listing covers, so the id is taken from the path with its separator.
    std::string listed = path;
    if (listed.empty() || listed.back() != '\\')
        listed += '\\';
    std::string pattern = listed + '*';
    DirListing* dir = new DirListing{};
    dir->find = FindFirstFileA(pattern.c_str(), &dir->data);
    if (dir->find == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // A directory with no entries at all (a drive's empty root has not
        // even "." and "..") is an empty listing, not a failure.
        DWORD attributes = GetFileAttributesA(path.c_str());
        bool is_dir =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!(e == ERROR_FILE_NOT_FOUND && is_dir) && !(e == ERROR_NO_MORE_FILES && is_dir)) {
            *error = attributes != INVALID_FILE_ATTRIBUTES && !is_dir ? ENOTDIR : errno_from(e);
            delete dir;
            return nullptr;
        }
    }
    dir->pending = dir->find != INVALID_HANDLE_VALUE;
    dir->id = directory_id(listed);
    return dir;
}

DirListing* open_root(const std::string& root, int* error)
{
    return open_listing(root, error);
}

DirListing* open_subdirectory(const FileRef& ref)
{
    int error = 0;
    return open_listing(ref.path, &error);
}

DirId listing_id(const DirListing* dir)
{
    return dir->id;
}

bool read_entry(DirListing* dir, DirEntry* entry)
{
    if (!dir->pending) {
        if (dir->find == INVALID_HANDLE_VALUE || !FindNextFileA(dir->find, &dir->data))
            return false;
    }
    dir->pending = false;
    entry->name = dir->data.cFileName;
    // Only the directory bit decides; junctions and directory links have it.
    DWORD attributes = dir->data.dwFileAttributes;
    entry->type = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ENTRY_DIRECTORY : ENTRY_FILE;
    entry->link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return true;
}

void close_listing(DirListing* dir)
{
    if (dir->find != INVALID_HANDLE_VALUE)
        FindClose(dir->find);
    delete dir;
}

bool read_file_head(const FileRef& file, unsigned char* head, std::size_t n, std::size_t* got,
                    std::uint64_t* size)
{
    HANDLE h =
        CreateFileA(file.path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    LARGE_INTEGER file_size;
    bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileSizeEx(h, &file_size);
    *got = 0;
    while (regular && *got < n) {
        DWORD r = 0;
        if (!ReadFile(h, head + *got, static_cast<DWORD>(n - *got), &r, nullptr) || r == 0)
            break;
        *got += r;
    }
    *size = regular ? static_cast<std::uint64_t>(file_size.QuadPart) : 0;
    CloseHandle(h);
    return regular;
}

bool current_directory(std::string* path, int* error)
{
    DWORD needed = GetCurrentDirectoryA(0, nullptr); // includes the terminator
    if (needed == 0) {
        *error = errno_from(GetLastError());
        return false;
    }
    std::string buf(needed, '\0');
    DWORD len = GetCurrentDirectoryA(needed, &buf[0]);
    if (len == 0 || len >= needed) {
        *error = len == 0 ? errno_from(GetLastError()) : EIO;
        return false;
    }
    buf.resize(len);
    *path = buf;
    return true;
}
