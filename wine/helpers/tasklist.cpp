// Stands for tasklist in the Windows checks (Wine's prints nothing): the
// processes of this Wine session in the layout of Windows' own table,
// image name first, then the process id.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace {

std::string memory_kib(DWORD pid)
{
    SIZE_T bytes = 0;
    if (HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid)) {
        PROCESS_MEMORY_COUNTERS counters {};
        if (GetProcessMemoryInfo(process, &counters, sizeof counters))
            bytes = counters.WorkingSetSize;
        CloseHandle(process);
    }
    std::string digits = std::to_string(bytes / 1024);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits + " K";
}

} // namespace

int main(int argc, char**)
{
    if (argc > 1) {
        std::fprintf(stderr, "tasklist (checks): no option is supported\n");
        return 1;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 1;
    std::printf("\n%-25s %8s %-16s %11s %12s\n", "Image Name", "PID", "Session Name", "Session#",
                "Mem Usage");
    std::printf("========================= ======== ================ =========== ============\n");
    PROCESSENTRY32 entry {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        DWORD session = 0;
        ProcessIdToSessionId(entry.th32ProcessID, &session);
        std::printf("%-25.25s %8lu %-16s %11lu %12s\n", entry.szExeFile,
                    static_cast<unsigned long>(entry.th32ProcessID), session ? "Console" : "Services",
                    static_cast<unsigned long>(session), memory_kib(entry.th32ProcessID).c_str());
    }
    CloseHandle(snapshot);
    return 0;
}
