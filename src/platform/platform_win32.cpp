// Win32: the walk works in UTF-16 and reaches every directory and file by
// the extended-length form of its absolute path (\\?\C:\..., \\?\UNC\...),
// so that neither a name outside the console's code page nor the length of
// a path keeps a recording out of the catalogue. What the rows print is
// unchanged: the root as given and each name in the console's code page, as
// the ANSI functions deliver them.
#include "platform/platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <vector>
#include <windows.h>

#include <shellapi.h>

#include "platform/shared.h"

const char PATH_SEPARATOR = '\\';
const char LINE_END[] = "\r\n";

// In text mode the C runtime would end lines itself, and count what a
// failed write got out in its caller's bytes, line ends it made included.
void set_raw_output(std::FILE* out)
{
    std::setvbuf(out, nullptr, _IONBF, 0);
    _setmode(_fileno(out), _O_BINARY);
}

// _isatty would say so of NUL too.
bool is_terminal(std::FILE* stream)
{
    DWORD mode;
    int fd = _fileno(stream);
    return fd >= 0 && GetConsoleMode(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), &mode);
}

struct DirListing {
    HANDLE find;           // INVALID_HANDLE_VALUE: nothing (more) to list, or released
    WIN32_FIND_DATAW data; // the current entry
    bool pending;          // data holds an entry not yet returned
    std::wstring path;     // extended-length, ending in a backslash
    std::string name;      // the current entry's name as rows show it
    SavedEntries saved;    // what remained when released; kind: the attributes
};

// Errors with no errno counterpart keep their own code, above every errno
// value, so that the message is the system's own: a card pulled out, a
// share gone (ERROR_NOT_READY, ERROR_NETNAME_DELETED, ...).
constexpr int WIN32_ERRORS = 1 << 20;

static int errno_from(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: // a name the system lists but cannot open
    case ERROR_INVALID_DRIVE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: // another program holds it, sharing nothing
    case ERROR_LOCK_VIOLATION:    // or has locked the bytes to be read
        return EACCES;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
    case ERROR_NO_SYSTEM_RESOURCES: // the system's handle or pool memory is short
        return ENFILE;
    default:
        return WIN32_ERRORS + static_cast<int>(error);
    }
}

const char* error_message(int error)
{
    if (error < WIN32_ERRORS)
        return std::strerror(error);
    static char text[512];
    DWORD n =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error - WIN32_ERRORS), 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.'))
        n--; // one line, ended as strerror's are
    if (n == 0)
        n = static_cast<DWORD>(std::snprintf(text, sizeof text, "error %d", error - WIN32_ERRORS));
    text[n] = '\0';
    return text;
}

// Names in the code page the console shows and the ANSI functions use,
// converted as they convert them (best fit, then '?'): identical bytes for
// every name the code page holds, and UTF-8 where that is the code page.
static UINT code_page()
{
    return AreFileApisANSI() ? CP_ACP : CP_OEMCP;
}

bool ends_in_separator(const std::string& path)
{
    UINT page = code_page();
    std::size_t last = 0; // where the last character begins
    for (std::size_t i = 0; i < path.size();) {
        last = i;
        i += IsDBCSLeadByteEx(page, static_cast<BYTE>(path[i])) ? 2 : 1;
    }
    return last + 1 == path.size() && path[last] == PATH_SEPARATOR;
}

static std::string narrow(const wchar_t* text, int len)
{
    int n = WideCharToMultiByte(code_page(), 0, text, len, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(code_page(), 0, text, len, &s[0], n, nullptr, nullptr);
    return s;
}

static std::string as_bytes(const std::wstring& w)
{
    return std::string(reinterpret_cast<const char*>(w.c_str()), (w.size() + 1) * sizeof(wchar_t));
}

static std::wstring as_wide(const std::string& bytes)
{
    return reinterpret_cast<const wchar_t*>(bytes.c_str());
}

static std::wstring widen(const char* text)
{
    int n = MultiByteToWideChar(code_page(), 0, text, -1, nullptr, 0);
    std::wstring w(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(code_page(), 0, text, -1, &w[0], n);
    w.resize(w.size() - 1);
    return w;
}

static bool current_directory(std::wstring* path, int* error)
{
    DWORD needed = GetCurrentDirectoryW(0, nullptr); // includes the terminator
    path->assign(needed, L'\0');
    DWORD len = needed ? GetCurrentDirectoryW(needed, &(*path)[0]) : 0;
    if (len == 0 || len >= needed) {
        *error = len == 0 ? errno_from(GetLastError()) : EIO;
        return false;
    }
    path->resize(len);
    return true;
}

// The root comes from the wide command line: main's arguments have been
// through the code page already, and a root named outside it would not
// be found.
bool choose_root(int argc, char** argv, RootDir* root, int* error)
{
    int wide_argc = 0;
    wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &wide_argc);
    bool given = wide_argv ? wide_argc >= 2 : argc >= 2;
    std::wstring path;
    if (given)
        path = wide_argv ? std::wstring(wide_argv[1]) : widen(argv[1]);
    LocalFree(wide_argv);
    if (!given && !current_directory(&path, error))
        return false;
    root->shown = narrow(path.c_str(), static_cast<int>(path.size()));
    root->native = as_bytes(path);
    return true;
}

// The extended-length form of the directory a root names, ending in a
// backslash. A drive given as "D:" is its root, as "D:\*" lists it.
// GetFullPathNameW resolves relative roots, "D:foo" and ".." and works
// beyond MAX_PATH; the prefix then keeps names from being normalised.
static std::wstring extended_path(std::wstring path)
{
    if (path.empty() || path.back() != L'\\')
        path += L'\\';
    if (path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    std::wstring full(needed, L'\0');
    DWORD len = needed ? GetFullPathNameW(path.c_str(), needed, &full[0], nullptr) : 0;
    if (len == 0 || len >= needed)
        return path;
    full.resize(len);
    // A device path (\\.\C:\..., or //?/C:/... once its slashes are
    // backslashes) has its names normalised like any other, trailing dots
    // and all: in the extended form they stay as listed.
    if (full.compare(0, 4, L"\\\\.\\") == 0 || full.compare(0, 4, L"\\\\?\\") == 0)
        return L"\\\\?\\" + full.substr(4);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// Volume serial number and file index identify a directory, whichever
// junction or link it was reached through.
static DirId directory_id(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    bool known = h != INVALID_HANDLE_VALUE && GetFileInformationByHandle(h, &info);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!known)
        return DirId{0, 0};
    return DirId{info.dwVolumeSerialNumber,
                 std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
}

// The root of the volume an extended path is on (\\?\D:\, \\?\Volume{...}\ or
// \\?\UNC\server\share\), backslash included.
static std::wstring volume_root(const std::wstring& path)
{
    bool unc = path.compare(0, 8, L"\\\\?\\UNC\\") == 0;
    std::size_t end = unc ? 7 : 3; // the backslash before the volume's first name
    for (int names = unc ? 2 : 1; names > 0 && end != std::wstring::npos; names--)
        end = path.find(L'\\', end + 1);
    return end == std::wstring::npos ? path : path.substr(0, end + 1);
}

// Below the root, a place not found is missing, unless its whole volume has
// gone (a card reader or stick unplugged, a drive letter taken away): then
// neither it nor what follows could be read, and the run must say so.
static int missing_or_gone(int error, const std::wstring& path)
{
    if (error != ENOENT ||
        GetFileAttributesW(volume_root(path).c_str()) != INVALID_FILE_ATTRIBUTES ||
        GetLastError() == ERROR_ACCESS_DENIED)
        return error;
    return WIN32_ERRORS + ERROR_PATH_NOT_FOUND;
}

static DirListing* open_listing(const std::wstring& path, DirId* id, int* error)
{
    DirListing* dir = new DirListing{};
    dir->path = path;
    dir->find = FindFirstFileExW((path + L'*').c_str(), FindExInfoBasic, &dir->data,
                                 FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (dir->find == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        // A directory with no entries at all (a drive's empty root has not
        // even "." and "..") is an empty listing, not a failure.
        bool drive_root = path.size() >= 2 && path[path.size() - 2] == L':';
        std::wstring named = drive_root ? path : path.substr(0, path.size() - 1);
        DWORD attributes = GetFileAttributesW(named.c_str());
        bool is_dir =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!(e == ERROR_FILE_NOT_FOUND && is_dir) && !(e == ERROR_NO_MORE_FILES && is_dir)) {
            *error = attributes != INVALID_FILE_ATTRIBUTES && !is_dir ? ENOTDIR : errno_from(e);
            delete dir;
            return nullptr;
        }
    }
    dir->pending = dir->find != INVALID_HANDLE_VALUE;
    *id = directory_id(path);
    return dir;
}

DirListing* open_root(const RootDir& root, DirId* id, int* error)
{
    return open_listing(extended_path(as_wide(root.native)), id, error);
}

DirListing* open_subdirectory(DirListing* dir, const DirEntry& entry, DirId* id, int* error)
{
    std::wstring path = dir->path + static_cast<const wchar_t*>(entry.native) + L'\\';
    DirListing* sub = open_listing(path, id, error);
    if (!sub)
        *error = missing_or_gone(*error, path);
    return sub;
}

bool has_live_listing(const DirListing* dir)
{
    return dir->find != INVALID_HANDLE_VALUE;
}

// FindNextFileW fails at the end and on a failure alike: only the error
// tells them apart.
bool next_live_entry(DirListing* dir, RawEntry* entry, int* error)
{
    do {
        if (dir->pending) {
            dir->pending = false;
        } else if (!FindNextFileW(dir->find, &dir->data)) {
            DWORD e = GetLastError();
            *error = e == ERROR_NO_MORE_FILES ? 0 : errno_from(e);
            return false;
        }
    } while (is_self_or_parent(dir->data.cFileName));
    *entry = {dir->data.cFileName, (wcslen(dir->data.cFileName) + 1) * sizeof(wchar_t),
              dir->data.dwFileAttributes};
    return true;
}

void give_up_descriptor(DirListing* dir)
{
    if (dir->find != INVALID_HANDLE_VALUE)
        FindClose(dir->find);
    dir->find = INVALID_HANDLE_VALUE;
    dir->pending = false;
}

SavedEntries& saved_entries(DirListing* dir)
{
    return dir->saved;
}

bool read_entry(DirListing* dir, DirEntry* entry, int* error)
{
    RawEntry raw;
    if (!next_raw_entry(dir, &raw, error))
        return false;
    if (raw.name != dir->data.cFileName) { // saved: was there before
        std::memcpy(dir->data.cFileName, raw.name, raw.bytes);
        dir->data.dwFileAttributes = raw.kind;
    }
    dir->name = narrow(dir->data.cFileName, static_cast<int>(wcslen(dir->data.cFileName)));
    entry->name = dir->name.c_str();
    entry->native = dir->data.cFileName;
    // Only the directory bit decides; junctions and directory links have it.
    DWORD attributes = dir->data.dwFileAttributes;
    entry->type = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? ENTRY_DIRECTORY : ENTRY_FILE;
    entry->link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry->error = 0;
    return true;
}

// A released listing goes on from memory, so that the walk's handles stay
// within its budget however deep the tree.
bool holds_descriptor(const DirListing* dir)
{
    return has_live_listing(dir);
}

// Files and subdirectories are opened by their full paths: a released
// listing needs no handle to go on from memory.
bool needs_take_up(const DirListing*)
{
    return false;
}

bool take_up_listing(DirListing*, const DirListing*, int*)
{
    return true;
}

void close_listing(DirListing* dir)
{
    give_up_descriptor(dir);
    delete dir;
}

// The file's full path goes into the FileSpec's own memory, reused from file to
// file, rather than through temporaries: this runs for every candidate.
void prepare_file(DirListing* dir, const DirEntry& entry, FileSpec* file)
{
    const std::size_t unit = sizeof(wchar_t);
    const wchar_t* name = static_cast<const wchar_t*>(entry.native);
    std::size_t dir_len = dir->path.size(), name_len = wcslen(name);
    file->dir = dir;
    file->name.resize((dir_len + name_len + 1) * unit);
    std::memcpy(&file->name[0], dir->path.data(), dir_len * unit);
    std::memcpy(&file->name[dir_len * unit], name, (name_len + 1) * unit);
}

bool read_file_head(const FileSpec& file, unsigned char* head, std::size_t n, bool random,
                    FileHead* out)
{
    // FILE_FLAG_RANDOM_ACCESS stops the cache manager reading ahead.
    HANDLE h =
        CreateFileW(reinterpret_cast<const wchar_t*>(file.name.c_str()), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    random ? FILE_FLAG_RANDOM_ACCESS : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        out->error = missing_or_gone(errno_from(GetLastError()),
                                     reinterpret_cast<const wchar_t*>(file.name.c_str()));
        return false;
    }
    LARGE_INTEGER file_size;
    bool regular = GetFileType(h) == FILE_TYPE_DISK;
    if (regular && !GetFileSizeEx(h, &file_size)) {
        out->error = errno_from(GetLastError());
        regular = false;
    }
    out->size = regular ? static_cast<std::uint64_t>(file_size.QuadPart) : 0;
    out->got =
        read_up_to(head, head_bytes(n, out->size), [&](unsigned char* buf, std::size_t wanted) {
            DWORD r = 0;
            if (ReadFile(h, buf, static_cast<DWORD>(wanted), &r, nullptr))
                return static_cast<long long>(r);
            out->error = errno_from(GetLastError());
            return -1LL;
        });
    CloseHandle(h);
    return regular;
}

unsigned processor_count()
{
    DWORD_PTR process = 0, system = 0;
    unsigned n = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system))
        for (; process; process &= process - 1)
            n++;
    return n ? n : 1;
}

static double seconds(FILETIME t) // in 100 ns ticks
{
    return static_cast<double>(std::uint64_t{t.dwHighDateTime} << 32 | t.dwLowDateTime) / 1e7;
}

// The whole machine's processors; kernel time includes idle time.
ProcessorTimes processor_times()
{
    FILETIME idle, kernel, user;
    if (!GetSystemTimes(&idle, &kernel, &user))
        return {0, 0};
    double all = seconds(kernel) + seconds(user);
    return {all - seconds(idle), all};
}

// Windows keeps no count of a thread's waits apart from its preemptions.
bool thread_waits(std::uint64_t*)
{
    return false;
}

// Handles are not limited as descriptors are: the budget is what the tool
// asks for.
int descriptor_limit(int wanted)
{
    return wanted;
}

// Interruption

static BOOL WINAPI on_interruption(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (!note_interruption(1)) // a second: the process ends at once
        ExitProcess(STATUS_CONTROL_C_EXIT);
    if (event == CTRL_CLOSE_EVENT)
        Sleep(INFINITE); // the system ends the process on return: the rows go out first
    return TRUE;
}

void catch_interruptions()
{
    SetConsoleCtrlHandler(on_interruption, TRUE);
}

// With the code of a console program stopped by Ctrl-C.
void end_interrupted()
{
    ExitProcess(STATUS_CONTROL_C_EXIT);
}
