// Twenty launches and stops in a row from one administrator window: no zombie
// is left and the program holds no more file descriptors than after its
// first launch. The Linux build runs its servers in the real gnome-terminal
// (this suite runs inside xvfb-run and dbus-run-session), the Windows builds
// through the command interpreter stand-in.
#include "hostile_support.h"
#include "widget_lookup.h"
#include "network.h"
#include "networkselectionwindow.h"
#include "press.h"
#include "real_terminal.h"
#include "recording_browser.h"
#include "test_support.h"
#ifdef KESTROVA_WINDOWS_BUILD
#include "../core/tst_win_support.h"
#endif

#include <QtTest>
#include <QtWidgets>

#include <climits>
#include <csignal>
#include <ctime>
#include <dlfcn.h>
#include <iostream>

// The launch sequence's two-second pause before the browser opens says
// nothing about descriptors or children: skip it, so that twenty launches
// stay short. Every other pause is the system's own.
extern "C" int nanosleep(const timespec* request, timespec* remaining)
{
    if (request && request->tv_sec == 2 && request->tv_nsec == 0) {
        if (remaining)
            *remaining = timespec {0, 0};
        return 0;
    }
    using Nanosleep = int (*)(const timespec*, timespec*);
    static const auto system_nanosleep = reinterpret_cast<Nanosleep>(::dlsym(RTLD_NEXT, "nanosleep"));
    return system_nanosleep(request, remaining);
}

namespace {

constexpr int launches = 20;

// The hub's server, small so that twenty of them start fast: it answers
// HTTP on the address that runserver is given, or on Django's default.
const QByteArray small_server =
    "import http.server, sys\n"
    "host, port = sys.argv[2].rsplit(':', 1) if len(sys.argv) > 2 else ('127.0.0.1', '8000')\n"
    "http.server.HTTPServer((host, int(port)), http.server.BaseHTTPRequestHandler).serve_forever()\n";

// The running-server panel is on screen.
bool shows_the_panel(const QWidget& window)
{
    for (const QLabel* label : window.findChildren<QLabel*>())
        if (label->text() == "Votre Serveur est Pret")
            return true;
    return false;
}

// The program's open descriptors, this count's own look at them included.
// The fewest of a few looks: the Windows builds' reaper opens /proc for a
// moment now and then.
int open_descriptors()
{
    int fewest = INT_MAX;
    for (int look = 0; look < 5; ++look) {
        fewest = qMin(fewest, QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size());
        QThread::msleep(20);
    }
    return fewest;
}


#ifndef KESTROVA_WINDOWS_BUILD
// Every process that the test starts carries it, and so does what the
// terminal runs for it.
const char* const mark_variable = "KESTROVA_HYGIENE";
const QByteArray mark = QByteArray(mark_variable) + "=" + QByteArray::number(::getpid());

// What the terminal runs for the program.
QList<pid_t> started_in_terminals()
{
    return kt::marked_processes(mark);
}

// The Linux build has no stop: the keeper ends the server in its terminal.
// Here the server and the terminal's shell are ended by their ids.
void stop_the_server(NetworkSelectionWindow& window)
{
    const QList<pid_t> started = started_in_terminals();
    QVERIFY(!started.isEmpty());
    for (pid_t pid : started)
        ::kill(pid, SIGKILL);
    QTRY_VERIFY2(started_in_terminals().isEmpty(), "the terminal's processes did not end");
    window.remove_layouts(nullptr);
    window.main_mode();
}
#else
QPushButton* stop_button(QWidget& window)
{
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->text() == "Arreter le Serveur")
            return button;
    return nullptr;
}

void stop_the_server(NetworkSelectionWindow& window)
{
    QPushButton* stop = stop_button(window);
    QVERIFY(stop);
    kt::press(stop);
    QTRY_VERIFY(!kw::server_port_answers());
    // Whatever the start left (keepers, the server's interpreter) has ended.
    QTRY_VERIFY2(kw::descendants().isEmpty(), qPrintable(kw::describe(kw::descendants())));
}

// The desktop's browser as a desktop session reaches it: Qt hands the URL to
// xdg-open, detached (the suites' offscreen platform opens nothing itself).
class XdgOpen : public QObject
{
    Q_OBJECT
public:
    XdgOpen() { QDesktopServices::setUrlHandler("http", this, "open"); }
    ~XdgOpen() override { QDesktopServices::unsetUrlHandler("http"); }
public slots:
    void open(const QUrl& url) { QProcess::startDetached("xdg-open", {url.toString()}); }
};

// The threads of this process but the main one, each with the number of
// times it has been switched to so far.
QMap<QString, qint64> other_threads()
{
    QMap<QString, qint64> threads;
    for (const QString& thread : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (thread.toInt() == ::getpid())
            continue;
        const QString task = "/proc/self/task/" + thread + "/";
        qint64 switches = 0;
        for (const QByteArray& line : kt::read_file(task + "status").split('\n'))
            if (line.contains("ctxt_switches:"))
                switches += line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
        threads[thread + " (" + QString::fromLatin1(kt::read_file(task + "comm").trimmed()) + ")"] = switches;
    }
    return threads;
}

// The threads that ran during `milliseconds` of the main thread's sleep.
QStringList threads_running_during(unsigned long milliseconds)
{
    const QMap<QString, qint64> before = other_threads();
    QThread::msleep(milliseconds);
    QStringList running;
    const QMap<QString, qint64> after = other_threads();
    for (auto thread = after.cbegin(); thread != after.cend(); ++thread)
        if (before.value(thread.key(), -1) != thread.value())
            running << thread.key();
    return running;
}
#endif

} // namespace

class TestHygiene : public QObject
{
    Q_OBJECT

private slots:
    void twenty_launches_and_stops_leave_no_zombie_and_no_descriptor();
#ifdef KESTROVA_WINDOWS_BUILD
    void browser_openings_leave_no_zombie_and_idle_costs_nothing();
#endif
};

void TestHygiene::twenty_launches_and_stops_leave_no_zombie_and_no_descriptor()
{
    kt::WorkDir dir;
    QDir().mkdir("hub");
    kt::write_file("hub/manage.py", small_server);
    kt::write_file("networks.data", "Hygiene|hub|\n");
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({"127.0.0.2"});
#ifdef KESTROVA_WINDOWS_BUILD
    QVERIFY2(!kw::server_port_answers(), "something already listens on 127.0.0.1:8000");
    kw::Input input;
    input.close();
#else
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") && !qEnvironmentVariableIsEmpty("DISPLAY"),
             "run inside xvfb-run and dbus-run-session");
    qputenv(mark_variable, QByteArray::number(::getpid()));
    kt::IdleTerminal idle(mark_variable);
    QTRY_VERIFY(idle.open());
#endif

    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    kt::Browser browser;
    NetworkSelectionWindow window(nullptr);
    int after_first = 0;
    // The first launch opens what Qt opens once (image plugins, fonts); the
    // count is taken after it.
    for (int launch = 0; launch <= launches; ++launch) {
        const QList<QPushButton*> buttons = kt::network_buttons(window);
        QCOMPARE(buttons.size(), 1);
        kt::press(buttons.first());
        QVERIFY2(shows_the_panel(window), err.text().c_str());
        stop_the_server(window);
        if (QTest::currentTestFailed())
            return;
        if (launch == 0)
            after_first = open_descriptors();
    }

    QCOMPARE(browser.urls.size(), launches + 1);
    QTRY_VERIFY2(kt::zombie_children().isEmpty(), qPrintable(QString::number(kt::zombie_children().size())));
    QCOMPARE(open_descriptors(), after_first);
    QCOMPARE(err.text(), std::string());
}

#ifdef KESTROVA_WINDOWS_BUILD
void TestHygiene::browser_openings_leave_no_zombie_and_idle_costs_nothing()
{
    kt::WorkDir dir;
    QDir().mkdir("hub");
    kt::write_file("hub/manage.py", small_server);
    kt::write_file("networks.data", "Hygiene|hub|\n");
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({"127.0.0.2"});
    // Like xdg-open, it hands the page to a browser that outlives it.
    stand_ins.add("xdg-open", "#!/bin/sh\n( sleep 0.2; printf '%s\\n' \"$1\" >> '" + dir.file("opened").toLocal8Bit()
                                  + "' ) &\n");
    QVERIFY2(!kw::server_port_answers(), "something already listens on 127.0.0.1:8000");
    kw::Input input;
    input.close();

    const QStringList threads_before = other_threads().keys();
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    XdgOpen browser;
    NetworkSelectionWindow window(nullptr);
    // The launch runs the interpreter and opens the browser once, then twice
    // more while the server runs.
    kt::press(kt::network_buttons(window).value(0));
    QVERIFY2(shows_the_panel(window), err.text().c_str());
    const QString page = "http://127.0.0.1:8000";
    for (int opening = 0; opening < 2; ++opening)
        QVERIFY(QDesktopServices::openUrl(QUrl(page)));
    QTRY_COMPARE(kw::recorded_runs(dir.file("opened")), QStringList({page, page, page}));
    stop_the_server(window);

    QCOMPARE(kw::zombies_left(), QString());
    // Nothing of the program's family runs: what watched it is gone, and no
    // thread wakes.
    QTRY_COMPARE(other_threads().keys(), threads_before);
    QCOMPARE(threads_running_during(1000), QStringList());
    QCOMPARE(err.text(), std::string());
}
#endif

QTEST_MAIN(TestHygiene)
#include "tst_hygiene.moc"
