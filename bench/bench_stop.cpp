// The Linux build's stop, from the press of "Arreter le Serveur" to port 8000
// going free, against the same hub server's own exit after SIGINT, measured
// bare in the same run. Loopback only (127.0.0.2:8000, which an ifconfig
// stand-in reports as this computer's address); run it alone.
#include "bench_timing.h"
#include "busy_work.h"
#include "networkselectionwindow.h"

#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool port_open()
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(8000);
    inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const bool open = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return open;
}

void wait_for_port(bool open)
{
    const double start = now_ms();
    while (port_open() != open && now_ms() - start < 30000) {
        QCoreApplication::processEvents();
        QThread::usleep(500);
    }
}

// The bare anchor: the server with its reloader in a group of its own, as a
// terminal runs it, ended by SIGINT as Ctrl-C would.
double bare_exit(const std::string& project)
{
    const pid_t server = ::fork();
    if (server == 0) {
        ::setsid();
        ::signal(SIGINT, SIG_DFL);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        if (::chdir(project.c_str()) == 0)
            ::execl("/usr/bin/python3", "/usr/bin/python3", "manage.py", "runserver", "127.0.0.2:8000",
                    static_cast<char*>(nullptr));
        ::_exit(127);
    }
    wait_for_port(true);
    QThread::msleep(300);
    const double start = now_ms();
    ::kill(-server, SIGINT);
    wait_for_port(false);
    const double elapsed = now_ms() - start;
    ::kill(-server, SIGKILL);
    while (::waitpid(-server, nullptr, 0) > 0) {
    }
    return elapsed;
}

// Through the window: a launch to the panel, then the press, timed to the port going free.
double window_stop()
{
    NetworkSelectionWindow window(nullptr);
    window.show();
    QMetaObject::invokeMethod(&window, "fuck_tho", Q_ARG(int, 0));
    while (BusyWork::busy(&window))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QPushButton* stop = nullptr;
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text() == "Arreter le Serveur")
            stop = button;
    if (!stop)
        return -1;
    QThread::msleep(300);
    const double start = now_ms();
    stop->click();
    wait_for_port(false);
    const double elapsed = now_ms() - start;
    while (BusyWork::busy(&window))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return elapsed;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    const std::string r = dir.path().toStdString();
    make_template_hub(r);
    // This computer is 127.0.0.2; the terminal runs its command in a session
    // of its own, with Ctrl-C's signal left to its default as in a terminal.
    const std::string stand_ins = r + "/stand-ins";
    QDir().mkpath(QString::fromStdString(stand_ins));
    std::ofstream(stand_ins + "/ifconfig")
        << "#!/bin/sh\necho 'eth0: flags=4163<UP>  mtu 1500'\necho '        inet 127.0.0.2  netmask 255.255.255.0'\n";
    std::ofstream(stand_ins + "/gnome-terminal")
        << "#!/bin/sh\nshift\nsetsid env --default-signal=INT \"$@\" </dev/null >/dev/null 2>&1 &\n";
    ::chmod((stand_ins + "/ifconfig").c_str(), 0755);
    ::chmod((stand_ins + "/gnome-terminal").c_str(), 0755);
    std::ofstream(r + "/networks.data") << "Lumieres|lumieres|\n";
    qputenv("PATH", QByteArray::fromStdString(stand_ins) + ":/usr/bin:" + qgetenv("PATH"));
    QDir::setCurrent(dir.path());
    if (port_open()) {
        std::printf("stop: 127.0.0.2:8000 is busy; skipped\n");
        return 0;
    }
    std::vector<double> bare, stopped;
    for (int i = 0, runs = bench_runs(5); i < runs; ++i) {
        bare.push_back(bare_exit(r + "/lumieres"));
        stopped.push_back(window_stop());
    }
    std::printf("Linux stop, press to port free %5.2f  (goal <= 1.2)  kestrova %.0f ms, server's own exit after SIGINT %.0f ms\n",
                median(stopped) / median(bare), median(stopped), median(bare));
    return 0;
}
