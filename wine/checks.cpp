// The hub core of one Windows build, checked on a Windows runtime (Wine):
// the real C runtime's system and _spawnl, the real cmd.exe, start, for /f
// and taskkill, and real Winsock. Each group of checks is named on the
// command line; scripts/test-wine.sh provides what the groups need around
// them (the helper programs on PATH, a Linux listener on 127.0.0.1:8000).
#include "check_support.h"
#include "registry_sample.h"

#include "hub_utilities.h"
#include "network.h"
#include "port_owner.h"
#include "port_owner_win.h"
#include "process_win.h"
#include "provisioning_commands.h"
#include "server_commands.h"
#include "server_control.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <io.h>

namespace {

using namespace kw;

// A project folder whose name the interpreter must not split or read as
// an operator.
const std::string project = "mes hubs\\un & deux";
// How long a stand-in waits for its gate: far longer than a launch takes,
// so that a launch that waited for its server is seen, and bounded, so that
// nothing outlives a run.
const std::string lifetime_s = "30";

std::string self_path()
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string witness_path()
{
    return (fs::path(self_path()).parent_path() / "interpreter-witness.exe").string();
}

// The first folder of PATH that holds `program`, as cmd.exe looks it up.
std::string on_path(const std::string& program)
{
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "");
    for (std::string folder; std::getline(folders, folder, ';');)
        if (!folder.empty() && fs::exists(fs::path(folder) / program))
            return (fs::path(folder) / program).string();
    return std::string();
}

// Sends this program's standard output, children included, to a file for
// the object's life (the interpreter's own messages are kept from the log).
class OutputToFile
{
public:
    explicit OutputToFile(const fs::path& file)
    {
        std::fflush(nullptr);
        saved_fd = _dup(1);
        saved_handle = GetStdHandle(STD_OUTPUT_HANDLE);
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(inheritable_file(file)), 0);
        _dup2(fd, 1);
        _close(fd);
        SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(1)));
    }
    ~OutputToFile()
    {
        std::fflush(nullptr);
        _dup2(saved_fd, 1);
        _close(saved_fd);
        SetStdHandle(STD_OUTPUT_HANDLE, saved_handle);
    }

private:
    int saved_fd = -1;
    HANDLE saved_handle = nullptr;
};

// The command interpreter that the C runtime starts is the witness, which
// records every command line it is handed and runs it with the real cmd.exe.
class Interpreter
{
public:
    explicit Interpreter(const WorkDir& dir) : record(dir.file("interpreter.txt"))
    {
        environment.set("COMSPEC", witness_path());
        environment.set("KW_INTERPRETER_RECORD", record.string());
    }
    // What followed "/c" in each command line, in order.
    std::vector<std::string> lines() const
    {
        std::vector<std::string> handed;
        for (const std::string& line : lines_of(read_file(record))) {
            const auto c = line.find(" /c ");
            handed.push_back(c == std::string::npos ? "(no /c) " + line : line.substr(c + 4));
        }
        return handed;
    }

private:
    Environment environment;
    fs::path record;
};

// The gate that the stand-ins started in one check wait for.
void set_gate(Environment& environment, const WorkDir& dir)
{
    environment.set("KW_GATE", dir.windows_path("gate"));
    environment.set("KW_LIFETIME_S", lifetime_s);
}

// The gate and the record of the python stand-in, for one check.
void set_server_environment(Environment& environment, const WorkDir& dir)
{
    environment.set("KW_RECORD", dir.windows_path("record.txt"));
    set_gate(environment, dir);
}

void make_project()
{
    fs::create_directories(project);
    write_file(fs::path(project) / "manage.py", "");
}

// Waits for the first start of the python stand-in and checks where and how
// it ran and that it still runs: it serves until the check ends.
HANDLE check_server_run(Verdict& verdict, Processes& processes, const WorkDir& dir)
{
    std::vector<Run> runs;
    const bool started = wait_until([&] { return !(runs = recorded_runs(dir.file("record.txt"))).empty(); }, 20000);
    verdict.expect(started, "python never ran (nothing recorded within 20 s)");
    if (!started)
        return nullptr;
    const Run& run = runs.front();
    verdict.expect_equal(run.folder, fs::absolute(project).string(), "python's working directory");
    verdict.expect_equal(run.program, "python.exe", "the program run as python");
    verdict.expect_equal(run.arguments, "[manage.py] [runserver]", "python's arguments");
    verdict.expect_equal(run.parent_image, "cmd.exe", "the program that started python");
    HANDLE server = processes.adopt(run.pid, "python.exe");
    verdict.expect(server != nullptr, "the server had already ended when launch returned");
    return server;
}

#if !defined(KESTROVA_START_CONFIGURATION_B)

// A and C: launch returns while the server runs on.
void launch_returns_while_the_server_runs(Verdict& verdict)
{
    WorkDir dir(std::string("launch-") + start_configuration);
    make_project();
    Environment environment;
    set_server_environment(environment, dir);
    Processes processes(dir.file("gate"));
    Interpreter interpreter(dir);

    int result = -1;
    std::string messages;
    {
        StreamCapture err(std::cerr);
        result = Network("Hub", project).launch();
        messages = err.text();
    }
    verdict.expect_equal(std::to_string(result), "0", "launch's result");
    verdict.expect_equal(messages, "", "launch's messages");
    check_server_run(verdict, processes, dir);
    verdict.expect_equal(joined(interpreter.lines()), win_start_command(start_configuration, project),
                         "the line handed to the interpreter");
}

#else

// B: launch returns once pause has read a key from the interpreter's input.
void launch_returns_after_a_key(Verdict& verdict)
{
    WorkDir dir("launch-B");
    make_project();
    Environment environment;
    set_server_environment(environment, dir);
    Processes processes(dir.file("gate"));
    Interpreter interpreter(dir);

    // The launch runs in a second copy of this program whose standard input
    // is a pipe held here: the keyboard of its interpreter.
    SECURITY_ATTRIBUTES inherit {sizeof inherit, nullptr, TRUE};
    HANDLE keys_in = nullptr;
    HANDLE keys = nullptr;
    if (!CreatePipe(&keys_in, &keys, &inherit, 0)) {
        verdict.expect(false, "no pipe for the interpreter's input");
        return;
    }
    SetHandleInformation(keys, HANDLE_FLAG_INHERIT, 0);
    HANDLE said = inheritable_file(dir.file("launcher-out.txt"));
    HANDLE launcher = processes.start(self_path(), "launcher --launch-in \"" + project + "\"", keys_in, said);
    CloseHandle(keys_in);
    CloseHandle(said);
    verdict.expect(launcher != nullptr, "the launching copy of the checks could not be started");
    if (launcher) {
        HANDLE server = check_server_run(verdict, processes, dir);
        verdict.expect(WaitForSingleObject(launcher, 300) == WAIT_TIMEOUT, "launch returned before a key reached pause");
        DWORD written = 0;
        WriteFile(keys, "\r\n", 2, &written, nullptr);
        verdict.expect(WaitForSingleObject(launcher, 20000) == WAIT_OBJECT_0, "launch still waits after a key");
        DWORD status = 1;
        GetExitCodeProcess(launcher, &status);
        verdict.expect_equal(std::to_string(status), "0", "launch's result");
        verdict.expect(running(server), "the server ended with the interpreter that waited for the key");
        verdict.expect_equal(joined(interpreter.lines()), win_start_command('B', project),
                             "the line handed to the interpreter");
    }
    CloseHandle(keys);
}

#endif

// The ids of the task list's lines that hold "python", in the list's order.
std::vector<DWORD> listed_python_ids()
{
    std::vector<DWORD> ids;
    FILE* list = _popen("tasklist", "r");
    if (!list)
        return ids;
    char line[512];
    while (std::fgets(line, sizeof line, list)) {
        if (!std::strstr(line, "python"))
            continue;
        std::istringstream fields(line);
        std::string image;
        unsigned long id = 0;
        if (fields >> image >> id)
            ids.push_back(static_cast<DWORD>(id));
    }
    _pclose(list);
    return ids;
}

std::string ids_text(const std::vector<DWORD>& ids)
{
    std::string text;
    for (DWORD id : ids)
        text += (text.empty() ? "" : " ") + std::to_string(id);
    return text;
}

struct Stop
{
    std::string out;
    std::string err;
    std::vector<std::string> lines;
};

Stop run_stop_server(const WorkDir& dir)
{
    Stop stop;
    Interpreter interpreter(dir);
    {
        StreamCapture out(std::cout);
        StreamCapture err(std::cerr);
        OutputToFile interpreter_out(dir.file("interpreter-out.txt"));
        stop_server();
        stop.out = out.text();
        stop.err = err.text();
    }
    stop.lines = interpreter.lines();
    return stop;
}

void stop_ends_the_last_listed_python(Verdict& verdict)
{
    WorkDir dir("stop-last");
    Environment environment;
    set_gate(environment, dir);
    Processes processes(dir.file("gate"));
    const std::string python = on_path("python.exe");
    HANDLE first = processes.start(python, "python.exe first");
    HANDLE second = processes.start(python, "python.exe second");
    if (!first || !second) {
        verdict.expect(false, "the python stand-in could not be started from " + python);
        return;
    }
    std::vector<DWORD> started {GetProcessId(first), GetProcessId(second)};
    std::vector<DWORD> listed;
    wait_until([&] { return (listed = listed_python_ids()).size() >= 2; }, 5000);
    std::vector<DWORD> sorted_listed = listed;
    std::sort(sorted_listed.begin(), sorted_listed.end());
    std::sort(started.begin(), started.end());
    verdict.expect_equal(ids_text(sorted_listed), ids_text(started), "the python processes in the task list");
    if (sorted_listed != started)
        return;

    const DWORD last = listed.back();
    HANDLE victim = GetProcessId(first) == last ? first : second;
    HANDLE other = victim == first ? second : first;
    const Stop stop = run_stop_server(dir);
    const std::string listed_line = std::to_string(last) + "  ";
    verdict.expect_equal(stop.out, listed_line + "\n", "what stop_server printed");
    verdict.expect_equal(stop.err, "", "stop_server's messages");
    verdict.expect_equal(read_file("server_pid.tmp"), listed_line + "\r\n", "server_pid.tmp");
    verdict.expect_equal(joined(stop.lines), win_listing_command() + " | " + win_kill_command(listed_line),
                         "the lines handed to the interpreter");
    verdict.expect(WaitForSingleObject(victim, 10000) == WAIT_OBJECT_0, "the last listed python still runs");
    verdict.expect(running(other), "the other python was ended too");
    const std::string said = read_file(dir.file("interpreter-out.txt"));
    verdict.expect(said.find(std::to_string(last)) != std::string::npos,
                   "taskkill did not name process " + std::to_string(last) + ": [" + said + "]");
}

void stop_never_uses_a_stale_identifier(Verdict& verdict)
{
    WorkDir dir("stop-stale");
    Environment environment;
    set_gate(environment, dir);
    Processes processes(dir.file("gate"));
    // A running process that is no python, whose id an earlier stop left.
    HANDLE idle = processes.start(self_path(), "idle --idle");
    verdict.expect(idle != nullptr, "the idle copy of the checks could not be started");
    if (!idle)
        return;
    verdict.expect_equal(ids_text(listed_python_ids()), "", "python processes before the stop");
    write_file("server_pid.tmp", std::to_string(GetProcessId(idle)) + "  \r\n");

    const Stop stop = run_stop_server(dir);
    verdict.expect_equal(stop.out, "", "what stop_server printed");
    verdict.expect_equal(stop.err, "", "stop_server's messages");
    verdict.expect_equal(read_file("server_pid.tmp"), "", "server_pid.tmp");
    verdict.expect_equal(joined(stop.lines), win_listing_command(), "the lines handed to the interpreter");
    verdict.expect(running(idle), "the process of the stale identifier was ended");
}

void stop_without_a_writable_identifier_file(Verdict& verdict)
{
    WorkDir dir("stop-unwritable");
    Environment environment;
    set_gate(environment, dir);
    Processes processes(dir.file("gate"));
    HANDLE python = processes.start(on_path("python.exe"), "python.exe");
    verdict.expect(python != nullptr, "the python stand-in could not be started");
    fs::create_directory("server_pid.tmp");

    const Stop stop = run_stop_server(dir);
    verdict.expect_equal(stop.err, "Impossible de vider server_pid.tmp : aucun serveur n'est arrêté.\n",
                         "stop_server's messages");
    verdict.expect_equal(stop.out, "", "what stop_server printed");
    verdict.expect_equal(joined(stop.lines), "", "the lines handed to the interpreter");
    verdict.expect(running(python), "python was ended");
}

int is_launched_traced(std::string& trace)
{
    StreamCapture out(std::cout);
    const int answer = Network("n", "p").is_launched();
    trace += out.text();
    return answer;
}

void probe_without_listener(Verdict& verdict)
{
    std::string trace;
    const auto start = std::chrono::steady_clock::now();
    const int answer = is_launched_traced(trace);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    verdict.expect_equal(std::to_string(answer), "0", "the answer without a listener");
    verdict.expect_equal(trace, "1", "the probe's digit");
    // The refused connection fails at once on loopback; the check tries
    // again until its half second is over, which spreads the window's ten
    // checks over the server's start.
    verdict.expect(took >= 450, "no pause after the failed probe: it answered after " + std::to_string(took) + " ms");
    verdict.expect(took < 3000, "the failed probe took " + std::to_string(took) + " ms, not about half a second");
}

const char* needed(const char* variable)
{
    const char* value = std::getenv(variable);
    return value && *value ? value : nullptr;
}

void ten_probes_cover_a_late_listener(Verdict& verdict)
{
    const char* trigger = needed("KW_LISTEN_TRIGGER");
    verdict.expect(trigger, "KW_LISTEN_TRIGGER names no file: the listener is started by scripts/test-wine.sh");
    if (!trigger)
        return;
    // The listener opens the port a second after this file appears.
    write_file(trigger, "");
    std::string trace;
    bool answered = false;
    for (int probe = 0; probe < 10 && !answered; ++probe)
        answered = is_launched_traced(trace) == 1;
    verdict.expect(answered, "no probe of ten saw the listener; digits: " + trace);
    const bool shape = trace.size() >= 2 && trace.back() == '0'
        && trace.find_first_not_of('1') == trace.size() - 1;
    verdict.expect(shape, "digits [" + trace + "], expected failed probes then one success (1...10)");
}

void probe_with_listener(Verdict& verdict)
{
    const char* ready = needed("KW_LISTEN_READY");
    verdict.expect(ready, "KW_LISTEN_READY names no file: the listener is started by scripts/test-wine.sh");
    if (!ready)
        return;
    verdict.expect(wait_until([&] { return fs::exists(ready); }, 10000), "the listener never came up");
    std::string trace;
    verdict.expect_equal(std::to_string(is_launched_traced(trace)), "1", "the answer with a listener");
    verdict.expect_equal(trace, "0", "the probe's digit");
}

// A network name and path (the package is named after the project) that
// the interpreter must read literally.
const std::string new_name = "mes a&b";
const std::string new_path = new_name;

struct Provisioning
{
    int result = -1;
    std::string messages;
    std::vector<std::string> lines;
    std::vector<Run> runs;
};

Provisioning provision(const WorkDir& dir, const char* failing_program)
{
    Environment environment;
    environment.set("KW_RECORD", dir.windows_path("record.txt"));
    if (failing_program)
        environment.set("KW_FAIL", failing_program);
    Interpreter interpreter(dir);
    Provisioning provisioning;
    {
        StreamCapture err(std::cerr);
        provisioning.result = create_new_network(new_name, new_path);
        provisioning.messages = err.text();
    }
    provisioning.lines = interpreter.lines();
    provisioning.runs = recorded_runs(dir.file("record.txt"));
    return provisioning;
}

// What the programs were run with, as the C runtime split their command
// lines, and whether they ran in the working directory.
std::string describe_runs(const std::vector<Run>& runs)
{
    std::string text;
    const std::string here = fs::current_path().string();
    for (const Run& run : runs)
        text += run.program + " " + run.arguments + (run.folder == here ? "" : " in " + run.folder) + "\n";
    return text;
}

void provisioning_hands_each_line_to_the_interpreter(Verdict& verdict)
{
    WorkDir dir("provision");
    const Provisioning provisioning = provision(dir, nullptr);
    verdict.expect_equal(std::to_string(provisioning.result), "0", "create_new_network's result");
    verdict.expect_equal(provisioning.messages, "", "create_new_network's messages");
    verdict.expect_equal(joined(provisioning.lines), joined(provisioning_commands(new_name, new_path)),
                         "the lines handed to the interpreter");
    const std::string package = "[mes a&b/mes a&b/]";
    verdict.expect_equal(describe_runs(provisioning.runs),
                         "django-admin.exe [startproject] [mes a&b]\n"
                         "cp.exe [settings.py] " + package + "\n"
                         "cp.exe [urls.py] " + package + "\n"
                         "cp.exe [-r] [hubs/] " + package + "\n"
                         "cp.exe [-r] [ressources/] " + package + "\n"
                         "cp.exe [-r] [templates/] " + package + "\n"
                         "cp.exe [-r] [static/] " + package + "\n",
                         "the programs run, with their arguments");
}

void provisioning_stops_at_the_first_failure(Verdict& verdict)
{
    WorkDir dir("provision-failing");
    const Provisioning provisioning = provision(dir, "django-admin.exe");
    const std::string first = provisioning_commands(new_name, new_path).front();
    verdict.expect_equal(std::to_string(provisioning.result), "1", "create_new_network's result");
    verdict.expect_equal(provisioning.messages,
                         "La création du réseau « " + new_name + " » s'est arrêtée : la commande « " + first
                             + " » a échoué.\n",
                         "create_new_network's messages");
    verdict.expect_equal(joined(provisioning.lines), first, "the lines handed to the interpreter");
    verdict.expect_equal(describe_runs(provisioning.runs), "django-admin.exe [startproject] [mes a&b]\n",
                         "the programs run, with their arguments");
}

void registry_reads_like_linux(Verdict& verdict)
{
    WorkDir dir("registry");
    const std::string windows = read_registry_sample();
    const char* linux_records = needed("KW_LINUX_RECORDS");
    const std::string on_linux = linux_records ? read_file(linux_records) : std::string();
    verdict.expect(!on_linux.empty(), "no Linux reading to compare with (KW_LINUX_RECORDS)");
    verdict.expect_equal(windows, on_linux, "the records read on Windows, against those read on Linux");
    std::size_t records = 0;
    for (const std::string& line : lines_of(windows))
        records += line.rfind("name=", 0) == 0 ? 1 : 0;
    verdict.expect_equal(std::to_string(records), "6", "records in the sample");
}

// A hub's folder with accents, and a copy of it elsewhere that answers the
// same name.
const std::string hub = "Hub";
const std::string original = "caf\xc3\xa9 d\xc3\xa9j\xc3\xa0\\Hub";
const std::string copy = "copie de caf\xc3\xa9\\Hub";

// The python stand-in in a fresh hub folder: with KW_SERVE it answers `hub`
// on 127.0.0.1:8000; `sealed`, no other process may open it.
HANDLE start_hub(Processes& processes, const std::string& utf8, bool sealed = false)
{
    const fs::path folder = fs::absolute(fs::u8path(utf8));
    fs::create_directories(folder);
    return processes.start_in(on_path("python.exe"), "python.exe manage.py runserver", folder, sealed);
}

bool listened_within(int timeout_ms, bool listened = true)
{
    return wait_until([&] { return is_listened("127.0.0.1", 8000) == listened; }, timeout_ms);
}

struct HubEnvironment : Environment
{
    explicit HubEnvironment(const WorkDir& dir) { set_gate(*this, dir); set("KW_SERVE", hub); }
};

MIB_TCPROW_OWNER_PID listener_row(const char* address, int port, DWORD pid)
{
    return {MIB_TCP_STATE_LISTEN, inet_addr(address), htons(static_cast<u_short>(port)), 0, 0, pid};
}

// What the core reads from a table of recorded rows: the owner it names
// (0 for none, -1 for no listener), and whether it runs in the original.
std::string reading_of(std::initializer_list<MIB_TCPROW_OWNER_PID> rows)
{
    // The system's own table: a count, then its rows one after the other.
    std::vector<MIB_TCPROW_OWNER_PID> buffer(rows.size() + 1);
    auto* table = reinterpret_cast<MIB_TCPTABLE_OWNER_PID*>(buffer.data());
    table->dwNumEntries = static_cast<DWORD>(rows.size());
    std::copy(rows.begin(), rows.end(), table->table);
    const long owner = listener_in_table(*table, "127.0.0.1", 8000);
    return std::to_string(owner) + (same_folder(process_folder(owner), resolved_folder(original)) ? " here" : " elsewhere");
}

// The owner look-up against a bare table call, each at its best of the
// rounds (a loaded machine only ever slows a round down).
void bench_owner_look_up(Verdict& verdict)
{
    const char* count = needed("KW_BENCH_ROUNDS");
    const int rounds = count ? std::max(1, std::atoi(count)) : 20;
    using Clock = std::chrono::steady_clock;
    std::vector<char> buffer(1 << 16);
    Clock::duration bare = Clock::duration::max();
    Clock::duration look_up = bare;
    for (int round = 0; round < rounds; ++round) {
        DWORD size = static_cast<DWORD>(buffer.size());
        auto start = Clock::now();
        GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
        bare = std::min(bare, Clock::now() - start);
        start = Clock::now();
        listening_process("127.0.0.1", 8000);
        look_up = std::min(look_up, Clock::now() - start);
    }
    const double ratio = static_cast<double>(look_up.count()) / static_cast<double>(bare.count());
    std::printf("    bench: owner look-up %.2f x a bare GetExtendedTcpTable (%.0f us, best of %d)\n", ratio,
                std::chrono::duration<double, std::micro>(bare).count(), rounds);
    verdict.expect(ratio <= 1.5, "the owner look-up costs " + std::to_string(ratio) + " x a bare table call");
}

void owner_read_by_pid(Verdict& verdict)
{
    WorkDir dir("owner");
    HubEnvironment environment(dir);
    Processes processes(dir.file("gate"));
    HANDLE child = start_hub(processes, original);
    verdict.expect(child && listened_within(10000), "the child never listened on 127.0.0.1:8000");
    HANDLE sealed = start_hub(processes, copy, true);
    verdict.expect(sealed != nullptr, "no process could be started that others cannot open");
    if (!child || !sealed)
        return;
    const DWORD pid = GetProcessId(child);
    const long owner = listening_process("127.0.0.1", 8000);
    verdict.expect(owner == -1 || owner == static_cast<long>(pid), "the table names " + std::to_string(owner));
    if (owner == -1)
        std::printf("    note: the owner table names no owner of 127.0.0.1:8000 (Wine 8 lists PID 0)\n");

    // The keeper's spellings of the folder against the one the child runs in.
    const fs::path folder = fs::absolute(fs::u8path(original));
    std::wstring short_name(MAX_PATH, L'\0');
    short_name.resize(GetShortPathNameW(folder.c_str(), &short_name[0], MAX_PATH));
    std::string slashes = folder.u8string();
    std::replace(slashes.begin(), slashes.end(), '\\', '/');
    std::string upper = folder.u8string();
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; });
    std::vector<std::wstring> deep {folder.wstring()};
    while (deep.back().size() < 300) {
        deep.push_back(deep.back() + L"\\dossier tr\u00e8s long");
        CreateDirectoryW((L"\\\\?\\" + deep.back()).c_str(), nullptr);
    }
    const std::string seen = process_folder(pid);
    verdict.expect(same_folder(seen, upper), "[" + upper + "] is not the child's folder [" + seen + "] regardless of case");
    for (const std::string& path : {original, slashes, upper, "\\\\?\\" + folder.u8string() + "\\", utf8_text(short_name)})
        verdict.expect(same_folder(resolved_folder(path), seen), "[" + path + "] is not the child's folder [" + seen + "]");
    verdict.expect(same_folder(seen + "\\", seen), "a trailing separator makes another folder");
    verdict.expect(same_folder(resolved_folder(utf8_text(deep.back())), utf8_text(deep.back())),
                   "a folder past 260 characters is not found");
    // The C++ library cannot remove what lies past 260 characters.
    while (deep.size() > 1) {
        RemoveDirectoryW((L"\\\\?\\" + deep.back()).c_str());
        deep.pop_back();
    }

    // Rows as each system records them: Wine's names no owner; Windows's
    // name the child, whose folder is then read, or the sealed one, whose is not.
    const std::string child_id = std::to_string(pid);
    const std::string sealed_id = std::to_string(GetProcessId(sealed));
    verdict.expect_equal(reading_of({listener_row("127.0.0.1", 8000, 0)}), "0 elsewhere", "Wine 8.0's row");
    verdict.expect_equal(reading_of({listener_row("127.0.0.1", 8000, pid)}), child_id + " here", "a Windows row");
    verdict.expect_equal(reading_of({listener_row("0.0.0.0", 8000, pid)}), child_id + " here", "bound to every address");
    verdict.expect_equal(reading_of({listener_row("127.0.0.1", 8001, pid)}), "-1 elsewhere", "another port");
    verdict.expect_equal(reading_of({listener_row("127.0.0.1", 8000, GetProcessId(sealed))}), sealed_id + " elsewhere",
                         "a process whose folder cannot be read");
    verdict.expect_equal(reading_of({listener_row("0.0.0.0", 8000, 0), listener_row("127.0.0.1", 8000, pid)}),
                         child_id + " here", "an unnamed row before the child's");

    // Neither started here nor named by the table: never "already running".
    ServerControl control;
    StreamCapture err(std::cerr);
    Network network(hub, original);
    const LaunchOutcome outcome = control.launch(network);
    verdict.expect(outcome == (owner > 0 ? LaunchOutcome::already_running : LaunchOutcome::port_taken), "the launch: " + control.told());
    bench_owner_look_up(verdict);
}

void launch_copy_stop(Verdict& verdict)
{
    WorkDir dir("owner-launch");
    HubEnvironment environment(dir);
    Processes processes(dir.file("gate"));
    StreamCapture err(std::cerr);
    StreamCapture out(std::cout);
    ServerControl server;
    fs::create_directories(fs::u8path(original));
    Network network(hub, original);
    // A copy of the project, run by hand elsewhere, answers the same name.
    HANDLE copied_child = start_hub(processes, copy);
    verdict.expect(copied_child && listened_within(10000), "the copy never listened");
    verdict.expect(server.launch(network) == LaunchOutcome::port_taken, "the launch beside the copy: " + server.told());
    TerminateProcess(copied_child, 0);
    verdict.expect(listened_within(5000, false), "the copy still listens");
    verdict.expect(server.launch(network) == LaunchOutcome::started && server.owns_running_server(),
                   "the launch in the accented folder did not start its server: " + server.told());
    ServerControl other;
    Network copied(hub, copy);
    verdict.expect(other.launch(copied) == LaunchOutcome::port_taken, "the copy's launch: " + other.told());
    verdict.expect(other.launch(network) == LaunchOutcome::already_running, "the original's second launch: " + other.told());
    // Beside the proven server: the copy, and something else this program
    // started elsewhere. Neither serves, neither may be stopped.
    environment.set("KW_SERVE", "");
    copied_child = start_hub(processes, copy);
    kestrova_system_kept("python.exe elsewhere", false);
    const bool stopped = server.stop();
    verdict.expect(stopped, "the stop: " + server.told());
    verdict.expect(listened_within(5000, false), "port 8000 is still listened on after the stop");
    verdict.expect(running(copied_child), "the copy was ended with the proven server");
    verdict.expect(!kestrova_kept_processes().empty(), "what the program started elsewhere was ended too");
}

int wait_for_gate();

// A copy of the checks that launches the accented hub and waits: its
// session's end is what it is sent.
int launch_and_wait()
{
    ServerControl server;
    Network network(hub, original);
    const bool started = server.launch(network) == LaunchOutcome::started;
    write_file("launched", started ? "started" : "not started");
    wait_for_gate();
    return started ? 0 : 1;
}

void session_end_stops_the_server(Verdict& verdict)
{
    WorkDir dir("owner-session");
    fs::create_directories(fs::u8path(original));
    HubEnvironment environment(dir);
    Processes processes(dir.file("gate"));
    // Its traces (the check's digit, the ended ids) stay out of the log.
    HANDLE traces = inheritable_file(dir.file("program-out.txt"));
    HANDLE program = processes.start(self_path(), "checks --launch-and-wait", nullptr, traces);
    CloseHandle(traces);
    verdict.expect(program && wait_until([] { return !read_file("launched").empty(); }, 20000)
                       && read_file("launched") == "started",
                   "the program's launch did not start its server");
    HWND window = nullptr;
    wait_until([&] {
        DWORD owner = 0;
        while ((window = FindWindowExW(nullptr, window, L"KestrovaSessionEnd", nullptr))
               && (GetWindowThreadProcessId(window, &owner), owner != GetProcessId(program))) {
        }
        return window != nullptr;
    }, 5000);
    verdict.expect(window != nullptr, "the program has no window that hears the session's end");
    DWORD_PTR answer = 0;
    SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_BLOCK, 5000, &answer);
    verdict.expect(answer == TRUE, "the program refused the session's end");
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_BLOCK, 10000, &answer);
    verdict.expect(listened_within(1000, false), "the server still listens once the session's end was answered");
}

struct Check
{
    const char* group;
    const char* name;
    void (*run)(Verdict&);
};

const std::vector<Check> checks = {
    {"probes", "is_launched without a listener answers 0, digit 1, after the paced wait", probe_without_listener},
    {"probes", "ten is_launched cover a listener that comes up late", ten_probes_cover_a_late_listener},
    {"probes", "is_launched with a listener on 127.0.0.1:8000 answers 1, digit 0", probe_with_listener},
#if defined(KESTROVA_START_CONFIGURATION_B)
    {"launch", "launch B: cmd.exe runs python in the project folder, returns after a key", launch_returns_after_a_key},
#else
    {"launch", "launch: cmd.exe runs python in the project folder and launch returns while it serves",
     launch_returns_while_the_server_runs},
#endif
    {"stop", "stop_server ends the last listed python process, and only that one", stop_ends_the_last_listed_python},
    {"stop", "stop_server never uses a stale server_pid.tmp", stop_never_uses_a_stale_identifier},
    {"stop", "stop_server without a writable server_pid.tmp stops nothing", stop_without_a_writable_identifier_file},
    {"provision", "create_new_network hands its seven lines to cmd.exe, read literally", provisioning_hands_each_line_to_the_interpreter},
    {"provision", "create_new_network stops when cmd.exe reports a failed step", provisioning_stops_at_the_first_failure},
    {"registry", "a CRLF registry gives the records the Linux build reads", registry_reads_like_linux},
    {"owner", "the owner of port 8000, its accented folder read by its PID, a folder that cannot be read; bench", owner_read_by_pid},
    {"owner", "a launch starts in its folder, a copy takes the port, the stop ends only the proven one", launch_copy_stop},
    {"owner", "the end of the session stops the server the program saw answer", session_end_stops_the_server},
};

// The checks run python, django-admin, cp and the task list through
// cmd.exe: the test's own programs must come first on PATH (Wine's
// tasklist and findstr print nothing).
std::string helpers_missing()
{
    std::string missing;
    for (const char* program : {"python.exe", "tasklist.exe", "findstr.exe", "django-admin.exe", "cp.exe"}) {
        const std::string found = on_path(program);
        if (found.empty() || found.find("system32") != std::string::npos)
            missing += std::string(" ") + program + " (found: " + (found.empty() ? "none" : found) + ")";
    }
    return missing;
}

int wait_for_gate()
{
    const char* gate = needed("KW_GATE");
    const char* lifetime = needed("KW_LIFETIME_S");
    const long limit_ms = (lifetime ? std::atol(lifetime) : 30) * 1000L;
    wait_until([&] { return gate && fs::exists(gate); }, static_cast<int>(limit_ms));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--idle") == 0)
        return wait_for_gate();
    if (argc == 3 && std::strcmp(argv[1], "--launch-in") == 0)
        return Network("Hub", argv[2]).launch();
    if (argc == 2 && std::strcmp(argv[1], "--launch-and-wait") == 0)
        return launch_and_wait();

    std::vector<std::string> groups(argv + 1, argv + argc);
    for (const std::string& group : groups) {
        if (std::none_of(checks.begin(), checks.end(), [&](const Check& check) { return group == check.group; })) {
            std::fprintf(stderr, "unknown group of checks: %s (probes, launch, stop, provision, registry, owner)\n", group.c_str());
            return 2;
        }
    }
    const bool helpers_needed = std::any_of(groups.begin(), groups.end(),
                                            [](const std::string& group) { return group != "probes" && group != "registry"; });
    if (helpers_needed) {
        if (const std::string missing = helpers_missing(); !missing.empty()) {
            std::fprintf(stderr, "the test's programs are not first on PATH (set WINEPATH):%s\n", missing.c_str());
            return 2;
        }
    }

    const char label[] = {'w', 'i', 'n', '-', static_cast<char>(start_configuration - 'A' + 'a'), '\0'};
    int passed = 0;
    int failed = 0;
    for (const Check& check : checks) {
        if (std::find(groups.begin(), groups.end(), check.group) == groups.end())
            continue;
        Verdict verdict;
        const auto start = std::chrono::steady_clock::now();
        try {
            check.run(verdict);
        } catch (const std::exception& error) {
            verdict.expect(false, std::string("exception: ") + error.what());
        }
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::printf("%s %s: %s (%lld ms)\n", verdict.passed() ? "ok  " : "FAIL", label, check.name,
                    static_cast<long long>(took.count()));
        for (const std::string& finding : verdict.all())
            std::printf("    %s\n", finding.c_str());
        std::fflush(stdout);
        (verdict.passed() ? passed : failed)++;
    }
    std::printf("%s: %d passed, %d failed\n", label, passed, failed);
    return failed ? 1 : 0;
}
