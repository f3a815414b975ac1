// Stands for the programs that the product's commands run through cmd.exe
// in the Windows checks: python (the development server), django-admin and
// cp (provisioning); it is built as python.exe and copied under the other
// names. Each start appends one line to the file named by KW_RECORD: its
// image name, working directory, arguments as the C runtime split them
// (tab-separated), process id and the image name of the process that
// started it. It exits with status 1 when its image name is KW_FAIL's.
// With KW_GATE set it stays alive until that file exists, for KW_LIFETIME_S
// seconds at most, so that nothing it stands for outlives a run. With
// KW_SERVE set it is a hub meanwhile: it listens on 127.0.0.1:8000 (loopback
// only) and answers every request with that name.
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
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

// Listens while the gate is shut; INVALID_SOCKET when the port is not had.
SOCKET serve_on_port_8000()
{
    WSADATA data;
    if (WSAStartup(0x0202, &data) != 0)
        return INVALID_SOCKET;
    const SOCKET server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(8000);
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    u_long non_blocking = 1;
    if (bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(server, 8) != 0
        || ioctlsocket(server, FIONBIO, &non_blocking) != 0) {
        closesocket(server);
        return INVALID_SOCKET;
    }
    return server;
}

void answer_waiting(SOCKET server, const std::string& name)
{
    for (SOCKET client; (client = accept(server, nullptr, nullptr)) != INVALID_SOCKET;) {
        u_long blocking = 0;
        ioctlsocket(client, FIONBIO, &blocking);
        char request[1024];
        recv(client, request, sizeof request, 0);
        const std::string answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: "
            + std::to_string(name.size()) + "\r\n\r\n" + name;
        send(client, answer.data(), static_cast<int>(answer.size()), 0);
        closesocket(client);
    }
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
    const char* name = std::getenv("KW_SERVE");
    const SOCKET server = name && *name ? serve_on_port_8000() : INVALID_SOCKET;
    for (long waited = 0; gate && waited < limit_ms && GetFileAttributesA(gate) == INVALID_FILE_ATTRIBUTES;
         waited += 20) {
        if (server != INVALID_SOCKET)
            answer_waiting(server, name);
        Sleep(20);
    }
    return status;
}
