// Who listens on a TCP port, on Windows: the owner table of the TCP stack
// names the process, and the process's own parameters block (read from its
// memory) names the folder it runs in. Paths are UTF-16 inside, UTF-8 outside.
#ifdef _WIN32

#include "port_owner.h"
#include "port_owner_win.h"

#include <winternl.h>
#include <tlhelp32.h>

#include <cstring>
#include <cwchar>
#include <vector>

namespace {

constexpr DWORD longest_path = 32767;

class Handle
{
public:
    explicit Handle(HANDLE handle) : handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~Handle()
    {
        if (handle)
            CloseHandle(handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    explicit operator bool() const { return handle != nullptr; }
    HANDLE get() const { return handle; }

private:
    HANDLE handle;
};

// The start of RTL_USER_PROCESS_PARAMETERS up to the current directory, which
// the SDK's winternl.h keeps hidden. The layout has been the same since NT.
struct ProcessParameters
{
    ULONG maximum_length;
    ULONG length;
    ULONG flags;
    ULONG debug_flags;
    HANDLE console;
    ULONG console_flags;
    HANDLE input;
    HANDLE output;
    HANDLE error;
    UNICODE_STRING current_folder;
    HANDLE current_folder_handle;
};

bool read_memory(HANDLE process, const void* address, void* into, SIZE_T size)
{
    SIZE_T read = 0;
    return ReadProcessMemory(process, address, into, size, &read) && read == size;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix)
{
    return text.compare(0, wcslen(prefix), prefix) == 0;
}

// The plain form of a path: "\\?\", "\\?\UNC\" and "\??\" taken off,
// forward slashes turned back, no separator at the end but a root's.
std::wstring plain_path(std::wstring path)
{
    for (wchar_t& c : path)
        if (c == L'/')
            c = L'\\';
    if (starts_with(path, L"\\\\?\\UNC\\") || starts_with(path, L"\\??\\UNC\\"))
        path = L"\\\\" + path.substr(8);
    else if (starts_with(path, L"\\\\?\\") || starts_with(path, L"\\??\\"))
        path = path.substr(4);
    while (path.size() > 3 && path.back() == L'\\')
        path.pop_back();
    return path;
}

// The form that reaches past 260 characters in every call.
std::wstring long_form(const std::wstring& full)
{
    return starts_with(full, L"\\\\") ? L"\\\\?\\UNC\\" + full.substr(2) : L"\\\\?\\" + full;
}

std::wstring full_path(const std::wstring& path)
{
    std::wstring full(longest_path, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), longest_path, &full[0], nullptr);
    if (length == 0 || length >= longest_path)
        return std::wstring();
    full.resize(length);
    return full;
}

// An existing path as the file system names it: full, in its own case, with
// long names for short ones and links followed; "" when it does not exist.
std::wstring system_path(const std::wstring& path)
{
    if (path.empty())
        return std::wstring();
    const std::wstring full = full_path(plain_path(path));
    if (full.empty())
        return std::wstring();
    const std::wstring reachable = long_form(full);
    const Handle opened(CreateFileW(reachable.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring named(longest_path, L'\0');
    if (opened) {
        const DWORD length = GetFinalPathNameByHandleW(opened.get(), &named[0], longest_path, FILE_NAME_NORMALIZED);
        if (length > 0 && length < longest_path) {
            named.resize(length);
            return plain_path(named);
        }
    }
    // Seen but not opened (a folder of another user's): its long name at least.
    const DWORD length = GetLongPathNameW(reachable.c_str(), &named[0], longest_path);
    if (length == 0 || length >= longest_path)
        return std::wstring();
    named.resize(length);
    return plain_path(named);
}

// The current folder of a process as its parameters block holds it; "" when
// its memory cannot be read (another user's, a protected process, a process
// of the other word size).
std::wstring current_folder_of(long pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, static_cast<DWORD>(pid)));
    BOOL self_wow = FALSE;
    BOOL other_wow = FALSE;
    if (!process || !IsWow64Process(GetCurrentProcess(), &self_wow) || !IsWow64Process(process.get(), &other_wow)
        || self_wow != other_wow)
        return std::wstring();
    PROCESS_BASIC_INFORMATION basic {};
    ULONG returned = 0;
    if (NtQueryInformationProcess(process.get(), ProcessBasicInformation, &basic, sizeof basic, &returned) != 0
        || !basic.PebBaseAddress)
        return std::wstring();
    PEB peb {};
    ProcessParameters parameters {};
    if (!read_memory(process.get(), basic.PebBaseAddress, &peb, sizeof peb) || !peb.ProcessParameters
        || !read_memory(process.get(), peb.ProcessParameters, &parameters, sizeof parameters))
        return std::wstring();
    const USHORT bytes = parameters.current_folder.Length;
    if (bytes == 0 || bytes % 2 != 0 || !parameters.current_folder.Buffer)
        return std::wstring();
    std::wstring folder(bytes / 2, L'\0');
    if (!read_memory(process.get(), parameters.current_folder.Buffer, &folder[0], bytes))
        return std::wstring();
    return folder;
}

// The owner table of one address family, fetched in one call while the
// buffer kept from the last one is large enough.
const void* owner_table(ULONG family, std::vector<char>& buffer)
{
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(buffer.size());
        const DWORD result = GetExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), &size, FALSE, family,
                                                 TCP_TABLE_OWNER_PID_LISTENER, 0);
        if (result == NO_ERROR && !buffer.empty())
            return buffer.data();
        if (result != ERROR_INSUFFICIENT_BUFFER && result != NO_ERROR)
            return nullptr;
        buffer.resize(size + 16 * sizeof(MIB_TCP6ROW_OWNER_PID));
    }
    return nullptr;
}

long listener_in_v6_table(const MIB_TCP6TABLE_OWNER_PID& table, const std::string& host, int port)
{
    in6_addr mapped {};
    const ULONG v4 = inet_addr(host.c_str());
    mapped.s6_addr[10] = 0xff;
    mapped.s6_addr[11] = 0xff;
    memcpy(&mapped.s6_addr[12], &v4, 4);
    const in6_addr any {};
    long found = -1;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_TCP6ROW_OWNER_PID& row = table.table[i];
        if (row.dwState != MIB_TCP_STATE_LISTEN || ntohs(static_cast<u_short>(row.dwLocalPort)) != port)
            continue;
        if (memcmp(row.ucLocalAddr, &any, 16) == 0 || memcmp(row.ucLocalAddr, &mapped, 16) == 0) {
            if (row.dwOwningPid != 0)
                return static_cast<long>(row.dwOwningPid);
            found = 0;
        }
    }
    return found;
}

thread_local std::vector<char> v4_buffer(4096);
thread_local std::vector<char> v6_buffer;

// Where the table names the owner it is given, else 0; -1 when none listens.
long listener_of(const std::string& host, int port)
{
    const void* v4 = owner_table(AF_INET, v4_buffer);
    const long owner = v4 ? listener_in_table(*static_cast<const MIB_TCPTABLE_OWNER_PID*>(v4), host, port) : -1;
    if (owner >= 0)
        return owner;
    // A dual-stack socket bound to "::" takes 127.0.0.1 too: the second table
    // is asked for only when the first has no listener.
    const void* v6 = owner_table(AF_INET6, v6_buffer);
    return v6 ? listener_in_v6_table(*static_cast<const MIB_TCP6TABLE_OWNER_PID*>(v6), host, port) : -1;
}

} // namespace

std::wstring wide_text(const std::string& utf8)
{
    if (utf8.empty())
        return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
    return wide;
}

std::string utf8_text(const std::wstring& wide)
{
    if (wide.empty())
        return std::string();
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

long listener_in_table(const MIB_TCPTABLE_OWNER_PID& table, const std::string& host, int port)
{
    const ULONG address = inet_addr(host.c_str());
    long found = -1;
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        const MIB_TCPROW_OWNER_PID& row = table.table[i];
        if (row.dwState != MIB_TCP_STATE_LISTEN || ntohs(static_cast<u_short>(row.dwLocalPort)) != port
            || (row.dwLocalAddr != address && row.dwLocalAddr != INADDR_ANY))
            continue;
        if (row.dwOwningPid != 0)
            return static_cast<long>(row.dwOwningPid);
        found = 0;
    }
    return found;
}

bool can_see_port_owners()
{
    return true;
}

bool is_listened(const std::string& host, int port)
{
    return listener_of(host, port) >= 0;
}

long listening_process(const std::string& host, int port)
{
    const long owner = listener_of(host, port);
    return owner > 0 ? owner : -1;
}

std::string process_folder(long pid)
{
    return pid > 0 ? utf8_text(system_path(current_folder_of(pid))) : std::string();
}

std::string resolved_folder(const std::string& path)
{
    return utf8_text(system_path(wide_text(path)));
}

bool same_folder(const std::string& one, const std::string& other)
{
    if (one.empty() || other.empty())
        return false;
    const std::wstring a = plain_path(wide_text(one));
    const std::wstring b = plain_path(wide_text(other));
    // File names compare as the file system does: case folded, not by locale.
    return !a.empty() && !b.empty()
        && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE)
        == CSTR_EQUAL;
}

// Windows has no process groups: a server is ended by its own handle.
long process_group_of(long)
{
    return -1;
}

long parent_of(long pid)
{
    const Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry {};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Process32FirstW(snapshot.get(), &entry); more;
         more = Process32NextW(snapshot.get(), &entry))
        if (static_cast<long>(entry.th32ProcessID) == pid)
            return static_cast<long>(entry.th32ParentProcessID);
    return -1;
}

std::string program_of(long pid)
{
    const Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid)));
    std::wstring image(longest_path, L'\0');
    DWORD length = longest_path;
    if (pid <= 0 || !process || !QueryFullProcessImageNameW(process.get(), 0, &image[0], &length))
        return std::string();
    image.resize(length);
    return utf8_text(plain_path(image));
}

std::vector<long> processes_in_group(long)
{
    return {};
}

#endif
