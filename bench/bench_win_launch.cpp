// Launch benchmark of one Windows build (built once per start configuration):
// the time from the press of a network button to the running-server panel,
// less the fixed two-second wait, against the hub server's own time to answer
// its first request when started directly. Goal: a ratio of at most 1.15.
// Loopback only: the server listens on 127.0.0.1:8000; run it alone.
#include "bench_timing.h"
#include "busy_work.h"
#include "network.h"
#include "networkselectionwindow.h"
#include "server_commands.h"

#include <QApplication>
#include <QDesktopServices>
#include <QLayout>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const int runs = bench_runs(5);
const double fixed_wait_ms = 2000;

// A socket connected to 127.0.0.1:8000, or -1 when nothing accepts there.
int connect_to_server_port()
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(8000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

bool answers_http()
{
    const int fd = connect_to_server_port();
    if (fd < 0)
        return false;
    const char request[] = "HEAD / HTTP/1.0\r\n\r\n";
    char reply[8] = {};
    const bool answered = ::write(fd, request, sizeof request - 1) > 0 && ::read(fd, reply, 5) == 5
        && std::string(reply, 5) == "HTTP/";
    ::close(fd);
    return answered;
}

bool port_free()
{
    const int fd = connect_to_server_port();
    if (fd >= 0)
        ::close(fd);
    return fd < 0;
}

bool wait_port_free()
{
    for (int i = 0; i < 500; ++i) {
        if (port_free())
            return true;
        ::usleep(10000);
    }
    return false;
}

int run_quietly(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str());
}

// The anchor: the project's server started directly, until it answers.
double server_first_answer_ms(const std::string& project)
{
    const double start = now_ms();
    const pid_t server = ::fork();
    if (server == 0) {
        ::setpgid(0, 0);
        const int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        ::chdir(project.c_str());
        ::execl("/usr/bin/python3", "/usr/bin/python3", "manage.py", "runserver", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    double answered = -1;
    for (int i = 0; i < 3000 && answered < 0; ++i) {
        if (answers_http())
            answered = now_ms() - start;
        else
            ::usleep(5000);
    }
    ::kill(-server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    wait_port_free();
    return answered;
}

class Browser : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl&) {}
};

QPushButton* first_network_button(QWidget& window)
{
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->property("class").toString() == "net-btn")
            return button;
    return nullptr;
}

QPushButton* stop_button(QWidget& window)
{
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text() == "Arreter le Serveur")
            return button;
    return nullptr;
}

void wait_while_busy(QWidget& window)
{
    while (BusyWork::busy(&window))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace

int main(int argc, char** argv)
{
    // pause (configuration B) returns at the end of input.
    const int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    // The window is timed, never looked at: no display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (!port_free()) {
        std::cerr << "bench_win_launch: 127.0.0.1:8000 is in use; run the benchmark alone." << std::endl;
        return 1;
    }

    QTemporaryDir dir;
    const std::string work = dir.path().toStdString();
    const std::string source = KESTROVA_SOURCE_DIR "/template";
    if (::chdir(work.c_str()) != 0 || run_quietly("/usr/bin/django-admin startproject lumieres") != 0
        || run_quietly("cp " + source + "/settings.py " + source + "/urls.py lumieres/lumieres/") != 0
        || run_quietly("cp -r " + source + "/hubs " + source + "/ressources " + source + "/templates "
                       + source + "/static lumieres/lumieres/")
            != 0) {
        std::cerr << "bench_win_launch: cannot make the hub project" << std::endl;
        return 1;
    }
    std::ofstream("networks.data") << "Lumieres|lumieres|\n";

    Browser browser;
    QDesktopServices::setUrlHandler("http", &browser, "open");
    std::vector<double> anchors;
    std::vector<double> launches;
    // The program's traces and what the interpreter and the servers print stay
    // off the console while measuring.
    std::cout.flush();
    const int console = ::dup(STDOUT_FILENO);
    const int console_errors = ::dup(STDERR_FILENO);
    const int quiet = ::open("/dev/null", O_WRONLY);
    for (int run = 0; run < runs; ++run) {
        anchors.push_back(server_first_answer_ms(work + "/lumieres"));

        ::dup2(quiet, STDOUT_FILENO);
        ::dup2(quiet, STDERR_FILENO);
        NetworkSelectionWindow window(nullptr);
        window.show();
        QApplication::processEvents();
        const double pressed = now_ms();
        // The press returns at once: the launch runs off the GUI thread, and
        // so does the stop.
        if (QPushButton* network = first_network_button(window))
            network->click();
        wait_while_busy(window);
        const double shown = now_ms() - pressed;
        const bool panel = window.windowTitle().startsWith("Kestrova :") && stop_button(window);
        if (panel) {
            stop_button(window)->click();
            wait_while_busy(window);
        }
        std::cout.flush();
        ::dup2(console, STDOUT_FILENO);
        ::dup2(console_errors, STDERR_FILENO);
        if (!panel || !wait_port_free()) {
            std::cerr << "bench_win_launch: the launch did not reach the panel or the server did not stop"
                      << std::endl;
            return 1;
        }
        launches.push_back(shown - fixed_wait_ms);
    }
    QDesktopServices::unsetUrlHandler("http");

    const double anchor = median(anchors);
    const double launch = median(launches);
    std::printf("win-%c launch to panel - 2 s  %5.2f  (goal <= 1.15)  kestrova %.0f ms, hub server alone %.0f ms\n",
                start_configuration + ('a' - 'A'), launch / anchor, launch, anchor);
    return 0;
}

#include "bench_win_launch.moc"
