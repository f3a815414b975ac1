// Kestrova's benchmarks. Each figure is printed as a ratio against an anchor
// measured in the same run, then the absolute times. Loopback only: the
// launch benchmark's hub listens on 127.0.0.2:8000, which an ifconfig
// stand-in reports as this computer's address. Run it alone (not beside the
// test suite, which uses the same port).
#include "bench_timing.h"
#include "busy_work.h"
#include "hub_utilities.h"
#include "network.h"
#include "networkselectionwindow.h"
#include "startup.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QEvent>
#include <QLabel>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <iostream>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const bench_host = "127.0.0.2";
const int runs = bench_runs(7);

void write_text(const std::string& path, const std::string& text, bool executable = false)
{
    std::ofstream(path) << text;
    if (executable)
        ::chmod(path.c_str(), 0755);
}

// Where a child reports the moment of its first frame.
void report(double value)
{
    std::ofstream(std::getenv("KESTROVA_BENCH_OUT")) << value;
}

// Reports the first frame painted on the watched window, then leaves at once.
class FirstFrame : public QObject
{
public:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            report(now_ms());
            std::fflush(stdout);
            std::_Exit(0);
        }
        return false;
    }
};

void watch_first_frame(QWidget& window)
{
    window.installEventFilter(new FirstFrame);
}

int child_bare(int argc, char** argv)
{
    QApplication app(argc, argv);
    QDialog dialog;
    new QLabel("Kestrova", &dialog);
    dialog.setFixedSize(800, 400);
    dialog.show();
    watch_first_frame(dialog);
    return app.exec();
}

int child_launch(int argc, char** argv)
{
    QApplication app(argc, argv);
    NetworkSelectionWindow window(nullptr);
    window.show();
    const double start = now_ms();
    QMetaObject::invokeMethod(&window, "fuck_tho", Q_ARG(int, 0));
    // The press returns at once: the launch goes on off the GUI thread until
    // the panel (or the main screen with a failure) replaces the loading screen.
    while (BusyWork::busy(&window))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    const double shown = now_ms() - start - 2000.0;
    if (!window.windowTitle().startsWith("Kestrova :"))
        return 1;
    report(shown);
    return 0;
}

struct Run
{
    double ms = 0;
    long peak_kib = 0;
};

// Runs this program again as `mode` in `workdir` and reads what it reported.
Run run_child(const char* self, const char* mode, const QString& workdir, const QString& path_prefix)
{
    const std::string out = (workdir + "/bench.out").toStdString();
    const std::string dir = workdir.toStdString();
    const std::string path = path_prefix.toStdString() + ":/usr/bin:/bin:" + std::getenv("PATH");
    const double start = now_ms();
    const pid_t child = ::fork();
    if (child == 0) {
        ::setenv("KESTROVA_BENCH_OUT", out.c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::setenv("PATH", path.c_str(), 1);
        if (::chdir(dir.c_str()) == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, STDOUT_FILENO);
            ::dup2(null, STDERR_FILENO);
            ::execl(self, self, mode, static_cast<char*>(nullptr));
        }
        ::_exit(127);
    }
    int status = 0;
    rusage usage {};
    ::wait4(child, &status, 0, &usage);
    Run run;
    std::ifstream(out) >> run.ms;
    if (std::string(mode) != "child-launch")
        run.ms -= start;
    run.peak_kib = usage.ru_maxrss;
    return run;
}

QString stage_workdir(const QTemporaryDir& dir)
{
    const QString root = dir.path();
    std::system(("cp -r '" KESTROVA_SOURCE_DIR "/img' '" + root.toStdString() + "/' && cp '" KESTROVA_SOURCE_DIR
                 "/scripts/style.qss' '" KESTROVA_SOURCE_DIR "/fuseum.gif' '" + root.toStdString() + "/'")
                    .c_str());
    write_text(root.toStdString() + "/networks.data",
               "Les Lumieres de Tavoule|lumieres|\nAtelier du Port|atelier|\nQuartier Nord|nord|\n");
    return root;
}

// The members' window, shown at once whatever its search finds: start to
// first frame against the bare dialog's, on the machine as it is.
void bench_client_start_up(const char* self)
{
    QTemporaryDir dir;
    const QString root = stage_workdir(dir);
    std::system(("cp '" KESTROVA_SOURCE_DIR "/wifi.gif' '" + root.toStdString() + "/'").c_str());
    write_text(root.toStdString() + "/ifconfig",
               "#!/bin/sh\necho 'eth0: flags=4163<UP>  mtu 1500'\necho '        inet 127.0.0.2  netmask 255.255.255.0'\n",
               true);
    std::vector<double> bare_ms, client_ms;
    for (int i = 0; i < runs; ++i) {
        bare_ms.push_back(run_child(self, "child-bare", root, root).ms);
        client_ms.push_back(run_child(self, "child-client", root, root).ms);
    }
    std::printf("client start to first frame  %5.2f  (goal <= 1.2)  client %.1f ms, bare dialog %.1f ms\n",
                median(client_ms) / median(bare_ms), median(client_ms), median(bare_ms));
}

void bench_start_up(const char* self)
{
    QTemporaryDir dir;
    const QString root = stage_workdir(dir);
    std::vector<double> bare_ms, kestrova_ms, bare_kib, kestrova_kib;
    for (int i = 0; i < runs; ++i) {
        const Run bare = run_child(self, "child-bare", root, root);
        const Run kestrova = run_child(self, "child-kestrova", root, root);
        bare_ms.push_back(bare.ms);
        kestrova_ms.push_back(kestrova.ms);
        bare_kib.push_back(bare.peak_kib);
        kestrova_kib.push_back(kestrova.peak_kib);
    }
    std::printf("start-up to first frame      %5.2f  (goal <= 1.3)  kestrova %.1f ms, bare dialog %.1f ms\n",
                median(kestrova_ms) / median(bare_ms), median(kestrova_ms), median(bare_ms));
    std::printf("peak memory                  %5.2f  (goal <= 1.3)  kestrova %.0f KiB, bare dialog %.0f KiB\n",
                median(kestrova_kib) / median(bare_kib), median(kestrova_kib), median(bare_kib));
}

bool http_answers(const char* host, int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host, &address.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    bool answered = false;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        const char request[] = "HEAD / HTTP/1.0\r\n\r\n";
        char reply[16] = {};
        answered = ::write(fd, request, sizeof request - 1) > 0 && ::read(fd, reply, sizeof reply) > 0;
    }
    ::close(fd);
    return answered;
}

void end_group(pid_t group)
{
    ::kill(-group, SIGTERM);
    for (int i = 0; i < 100 && ::kill(-group, 0) == 0; ++i)
        QThread::msleep(50);
    ::kill(-group, SIGKILL);
    while (::waitpid(-group, nullptr, WNOHANG) > 0) {
    }
}

// The hub server alone: started directly, timed to its first answer.
double hub_alone(const std::string& project)
{
    const double start = now_ms();
    const pid_t server = ::fork();
    if (server == 0) {
        ::setsid();
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (::chdir(project.c_str()) == 0)
            ::execl("/usr/bin/python3", "/usr/bin/python3", "manage.py", "runserver", "127.0.0.2:8000",
                    static_cast<char*>(nullptr));
        ::_exit(127);
    }
    while (!http_answers(bench_host, 8000) && now_ms() - start < 30000)
        QThread::msleep(5);
    const double elapsed = now_ms() - start;
    end_group(server);
    return elapsed;
}

void bench_launch(const char* self)
{
    QTemporaryDir dir;
    const QString root = stage_workdir(dir);
    const std::string r = root.toStdString();
    make_template_hub(r);
    // Stand-ins: this computer is 127.0.0.2, and the terminal runs its
    // command detached in a session of its own, whose id it records.
    const std::string stand_ins = r + "/stand-ins";
    QDir().mkpath(QString::fromStdString(stand_ins));
    write_text(stand_ins + "/ifconfig",
               "#!/bin/sh\necho 'eth0: flags=4163<UP>  mtu 1500'\necho '        inet 127.0.0.2  netmask 255.255.255.0'\n",
               true);
    write_text(stand_ins + "/gnome-terminal",
               "#!/bin/sh\nshift\nsetsid \"$@\" </dev/null >/dev/null 2>&1 &\necho $! >> '" + r + "/groups'\n", true);
    if (http_answers(bench_host, 8000)) {
        std::printf("launch: 127.0.0.2:8000 is busy; skipped\n");
        return;
    }
    std::vector<double> alone, launched;
    for (int i = 0, launches = bench_runs(3); i < launches; ++i) {
        alone.push_back(hub_alone(r + "/lumieres"));
        launched.push_back(run_child(self, "child-launch", root, QString::fromStdString(stand_ins)).ms);
        std::ifstream groups(r + "/groups");
        for (pid_t group; groups >> group;)
            end_group(group);
        std::remove((r + "/groups").c_str());
    }
    std::printf("launch to panel - 2 s        %5.2f  (goal <= 1.2)  kestrova %.0f ms, hub server alone %.0f ms\n",
                median(launched) / median(alone), median(launched), median(alone));
}

double time_registry(int lines)
{
    QTemporaryDir dir;
    {
        std::ofstream registry((dir.path() + "/networks.data").toStdString());
        for (int i = 0; i < lines; ++i)
            registry << "Reseau numero " << i << "|hubs/reseau_" << i << "|\n";
    }
    const QString previous = QDir::currentPath();
    QDir::setCurrent(dir.path());
    std::ofstream null("/dev/null");
    std::streambuf* out = std::cout.rdbuf(null.rdbuf());
    std::vector<double> times;
    for (int i = 0, reads = bench_runs(5); i < reads; ++i) {
        std::vector<Network*> networks;
        const double start = now_ms();
        read_hub_networks(&networks);
        times.push_back(now_ms() - start);
        for (Network* network : networks)
            delete network;
    }
    std::cout.rdbuf(out);
    QDir::setCurrent(previous);
    return median(times);
}

void bench_registry()
{
    const double small = time_registry(10000);
    const double large = time_registry(100000);
    std::printf("registry 100k / 10k lines    %5.2f  (goal ~ 10)    100k %.1f ms, 10k %.1f ms\n", large / small, large,
                small);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "child-bare")
        return child_bare(argc, argv);
    if (mode == "child-kestrova")
        return run_kestrova(argc, argv, watch_first_frame);
    if (mode == "child-launch")
        return child_launch(argc, argv);
    if (mode == "child-client")
        return run_kestrova_client(argc, argv, watch_first_frame);

    // The children are this same program, found again after they change folder.
    static char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0)
        return 1;

    utsname machine {};
    ::uname(&machine);
    std::string processor = "unknown processor";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);)
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            processor = line.substr(line.find(':') + 2);
            break;
        }
    std::printf("Kestrova benchmarks on %s %s %s, %s, %ld cores, Qt %s\n", machine.sysname, machine.release,
                machine.machine, processor.c_str(), ::sysconf(_SC_NPROCESSORS_ONLN), qVersion());
    std::printf("figure                       ratio  goal           absolute times (medians)\n");
    const char* only = std::getenv("KESTROVA_BENCH_ONLY");
    const std::string which = only ? only : "";
    if (which.empty() || which == "start-up")
        bench_start_up(self);
    if (which.empty() || which == "client-start-up")
        bench_client_start_up(self);
    if (which.empty() || which == "registry")
        bench_registry();
    if (which.empty() || which == "launch")
        bench_launch(self);
    return 0;
}
