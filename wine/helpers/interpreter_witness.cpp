// Set as COMSPEC in the Windows checks: the C runtime's system (and the
// program's own start of configuration A) then run this program in place of
// the command interpreter. It appends the command line it was given to the
// file named by KW_INTERPRETER_RECORD and hands the same arguments, byte for
// byte, to the real cmd.exe, whose exit status it returns.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main()
{
    const std::wstring line = GetCommandLineW();
    if (const char* record = std::getenv("KW_INTERPRETER_RECORD")) {
        const std::string narrow = GetCommandLineA();
        if (FILE* file = std::fopen(record, "ab")) {
            std::fprintf(file, "%s\n", narrow.c_str());
            std::fclose(file);
        }
    }
    // Everything after the program's own name is the interpreter's.
    std::size_t tail = 0;
    if (!line.empty() && line[0] == L'"')
        tail = line.find(L'"', 1) == std::wstring::npos ? line.size() : line.find(L'"', 1) + 1;
    else
        tail = line.find_first_of(L" \t") == std::wstring::npos ? line.size() : line.find_first_of(L" \t");

    wchar_t system_folder[MAX_PATH] = L"";
    GetSystemDirectoryW(system_folder, MAX_PATH);
    const std::wstring interpreter = std::wstring(system_folder) + L"\\cmd.exe";
    std::wstring arguments = L"cmd.exe" + line.substr(tail);

    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process {};
    if (!CreateProcessW(interpreter.c_str(), &arguments[0], nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        std::fprintf(stderr, "interpreter witness: cmd.exe could not be started (%lu)\n", GetLastError());
        return 9009;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 1;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}
