// Stands for the programs that the product's commands run through cmd.exe
// in the Windows checks: python (the development server), django-admin and
// cp (provisioning); it is built as python.exe and copied under the other
// names. Each start appends one line to the file named by KW_RECORD: its
// image name, working directory, arguments as the C runtime split them
// (tab-separated), process id and the image name of the process that
// started it. It exits with status 1 when its image name is KW_FAIL's.
// With KW_GATE set it stays alive until that file exists, for KW_LIFETIME_S
// seconds at most, so that nothing it stands for outlives a run.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string file_name(const std::string& path)
{
    return path.substr(path.find_last_of("\\/") + 1);
}

std::string parent_image_name()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return "?";
    const DWORD self = GetCurrentProcessId();
    DWORD parent = 0;
    PROCESSENTRY32 entry {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    std::string name = "?";
    for (BOOL more = Process32First(snapshot, &entry); more && parent; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == parent)
            name = entry.szExeFile;
    CloseHandle(snapshot);
    return name;
}

} // namespace

int main(int argc, char** argv)
{
    char module[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    const std::string image = file_name(module);

    if (const char* record = std::getenv("KW_RECORD")) {
        char folder[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, folder);
        std::string line = image + "|" + folder + "|";
        for (int i = 1; i < argc; ++i)
            line += (i > 1 ? "\t" : "") + std::string(argv[i]);
        line += "|" + std::to_string(GetCurrentProcessId()) + "|" + parent_image_name() + "\n";
        if (FILE* file = std::fopen(record, "ab")) {
            std::fputs(line.c_str(), file);
            std::fclose(file);
        }
    }
    const char* failing = std::getenv("KW_FAIL");
    const int status = failing && image == failing ? 1 : 0;

    const char* gate = std::getenv("KW_GATE");
    const char* lifetime = std::getenv("KW_LIFETIME_S");
    const long limit_ms = (lifetime ? std::atol(lifetime) : 60) * 1000L;
    for (long waited = 0; gate && waited < limit_ms && GetFileAttributesA(gate) == INVALID_FILE_ATTRIBUTES;
         waited += 50)
        Sleep(50);
    return status;
}
