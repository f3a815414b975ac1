// Server control of the Windows build (configuration B here; the launch of
// all three configurations is driven through the window's suites).
#include "hub_utilities.h"
#include "network.h"
#include "process_win.h"
#include "server_commands.h"
#include "server_control.h"
#include "server_output.h"
#include "test_support.h"
#include "tst_win_support.h"

#include <QtTest>

#include <atomic>
#include <poll.h>
#include <sys/stat.h>
#include <thread>

namespace {

const QString windows_server_host = "127.0.0.1";

QList<kw::Process> family_pythons()
{
    QList<kw::Process> found;
    for (const kw::Process& process : kw::descendants())
        if (process.image.startsWith("python"))
            found << process;
    return found;
}

// Starts a recording project through the stand-in as configuration C does;
// its python waits at the gate.
void start_recorder(const QString& folder)
{
    kw::write_recording_project(folder);
    QCOMPARE(kestrova_system(win_start_command('C', folder.toStdString())), 0);
}

} // namespace

class TestWinServerControl : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void probe_sees_a_listener_on_loopback();
    void probe_without_server_answers_0();
    void ten_checks_cover_a_server_that_comes_up_late();
    void a_check_answers_as_the_port_opens_and_gives_up_on_a_silent_one();
    void launch_b_returns_when_pause_gets_a_key();
    void launch_refuses_a_path_it_cannot_quote();
    void stop_ends_the_last_python_of_the_family_only();
    void a_stale_identifier_is_never_used();
    void stop_without_a_writable_identifier_file_stops_nothing();
    void django_manager_becomes_the_terminal();
    void django_manager_reports_a_missing_terminal();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kw::Input> input;
};

void TestWinServerControl::init()
{
    dir = std::make_unique<kt::WorkDir>();
    input = std::make_unique<kw::Input>();
    input->close();
    qputenv("KW_RECORD", dir->file("record").toLocal8Bit());
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
}

void TestWinServerControl::cleanup()
{
    kt::write_file(dir->file("gate"), "");
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    input.reset();
    dir.reset();
}

void TestWinServerControl::probe_sees_a_listener_on_loopback()
{
    kt::Listener listener(windows_server_host, 8000);
    QVERIFY(listener.listening());
    kt::StreamCapture out(std::cout);
    QCOMPARE(Network().is_launched(), 1);
    QCOMPARE(out.text(), std::string("0"));
}

void TestWinServerControl::probe_without_server_answers_0()
{
    QVERIFY(!kw::server_port_answers());
    kt::StreamCapture out(std::cout);
    QCOMPARE(Network("n", "p").is_launched(), 0);
    QCOMPARE(out.text(), std::string("1"));
}

void TestWinServerControl::ten_checks_cover_a_server_that_comes_up_late()
{
    // Django takes a second or two to listen; the launch's own loop checks
    // ten times, then gives up.
    {
        kt::StreamCapture out(std::cout);
        Network network("n", "p");
        QVERIFY(!server_answers_after_start(network, ServerOutput()));
        QCOMPARE(out.text(), std::string(10, '1'));
    }
    std::unique_ptr<kt::Listener> listener;
    std::thread late([&listener] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        listener = std::make_unique<kt::Listener>(windows_server_host, 8000);
    });
    kt::StreamCapture out(std::cout);
    Network network("n", "p");
    const bool answered = server_answers_after_start(network, ServerOutput());
    late.join();
    QVERIFY(answered);
    QVERIFY2(QRegularExpression("^1+0$").match(QString::fromStdString(out.text())).hasMatch(), out.text().c_str());
}

void TestWinServerControl::a_check_answers_as_the_port_opens_and_gives_up_on_a_silent_one()
{
    Network network("n", "p");
    {
        // The port opens while the check runs: that same check answers.
        std::unique_ptr<kt::Listener> listener;
        std::thread soon([&listener] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            listener = std::make_unique<kt::Listener>(windows_server_host, 8000);
        });
        kt::StreamCapture out(std::cout);
        const int answer = network.is_launched();
        soon.join();
        QCOMPARE(answer, 1);
        QCOMPARE(out.text(), std::string("0"));
    }
    QTRY_VERIFY(!kw::server_port_answers());

    // A port whose connections are neither accepted nor refused, as a full
    // backlog leaves them (and a refusal that takes seconds on Windows).
    const int full = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(8000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int yes = 1;
    ::setsockopt(full, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    QVERIFY(::bind(full, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(full, 0) == 0);
    QList<int> waiting;
    for (bool hung = false; !hung && waiting.size() < 16;) {
        const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ::connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
        pollfd connecting {client, POLLOUT, 0};
        hung = ::poll(&connecting, 1, 200) == 0;
        waiting << client;
    }
    QElapsedTimer timer;
    timer.start();
    kt::StreamCapture out(std::cout);
    const int answer = network.is_launched();
    const qint64 took = timer.elapsed();
    for (int fd : waiting << full)
        ::close(fd);
    QCOMPARE(answer, 0);
    QCOMPARE(out.text(), std::string("1"));
    QVERIFY2(took < 2000, qPrintable(QString("a check on a silent port took %1 ms").arg(took)));
}

void TestWinServerControl::launch_b_returns_when_pause_gets_a_key()
{
    qunsetenv("KW_GATE");
    kw::write_recording_project(dir->file("mon hub"));
    kw::Input keyboard;
    std::atomic<bool> returned {false};
    std::thread launcher([&returned] {
        Network("Hub", "mon hub").launch();
        returned = true;
    });
    QTRY_COMPARE(kw::recorded_runs(dir->file("record")),
                 QStringList {QDir(dir->file("mon hub")).canonicalPath() + "|runserver"});
    QThread::msleep(300);
    const bool waited = !returned;
    keyboard.send("\n");
    launcher.join();
    QVERIFY2(waited, "launch returned before a key reached pause");
}

void TestWinServerControl::launch_refuses_a_path_it_cannot_quote()
{
    kt::write_file("marker", "");
    kt::StreamCapture err(std::cerr);
    QCOMPARE(Network("Hub", "x\" && cp marker ran && \"").launch(), 0);
    QVERIFY2(QString::fromStdString(err.text()).startsWith(QString::fromUtf8("Chemin refusé : ")), err.text().c_str());
    QVERIFY(!QFile::exists("ran"));
    QVERIFY(kw::descendants().isEmpty());
}

void TestWinServerControl::stop_ends_the_last_python_of_the_family_only()
{
    kw::Outsider outsider;
    QVERIFY(outsider.running());
    start_recorder(dir->file("un"));
    QTRY_COMPARE(family_pythons().size(), 2); // the outsider and the first
    start_recorder(dir->file("deux"));
    QTRY_COMPARE(family_pythons().size(), 3);
    pid_t first = 0;
    pid_t last = 0;
    for (const kw::Process& process : family_pythons()) {
        const QString folder = QFile::symLinkTarget("/proc/" + QString::number(process.pid) + "/cwd");
        if (folder.endsWith("/un"))
            first = process.pid;
        else if (folder.endsWith("/deux"))
            last = process.pid;
    }
    QVERIFY(first > 0 && last > 0);

    kt::StreamCapture out(std::cout);
    {
        kw::FdToFile interpreter_out(STDOUT_FILENO, dir->file("taskkill.out"));
        stop_server();
    }
    QCOMPARE(out.text(), std::to_string(last) + "  \n");
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray::number(last) + "  \n");
    QVERIFY2(kt::read_file("taskkill.out").contains("PID " + QByteArray::number(last)),
             kt::read_file("taskkill.out").constData());
    QVERIFY(!kw::alive(last));
    QVERIFY(kw::alive(first));
    QVERIFY(outsider.running());
}

void TestWinServerControl::a_stale_identifier_is_never_used()
{
    // A process of the family that is no python, holding an identifier that
    // an earlier stop left in the file.
    QVERIFY(::mkfifo("fifo", 0600) == 0);
    QCOMPARE(kestrova_system("start cmd /c \"cp fifo copy\""), 0);
    QList<pid_t> copies;
    QTRY_VERIFY(!(copies = kw::pids_of(kw::descendants(), "cp")).isEmpty());
    kt::write_file("server_pid.tmp", QByteArray::number(copies[0]) + "  \n");
    kw::Outsider outsider;

    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    stop_server();
    QCOMPARE(out.text(), std::string());
    QCOMPARE(err.text(), std::string());
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray());
    QVERIFY(kw::alive(copies[0]));
    QVERIFY(outsider.running());
    kt::write_file("fifo", "done");
    QTRY_VERIFY(!kw::alive(copies[0]));
}

void TestWinServerControl::stop_without_a_writable_identifier_file_stops_nothing()
{
    start_recorder(dir->file("hub"));
    QTRY_COMPARE(family_pythons().size(), 1);
    QVERIFY(QDir().mkdir("server_pid.tmp"));
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    stop_server();
    QCOMPARE(err.text(), std::string("Impossible de vider server_pid.tmp : aucun serveur n'est arrêté.\n"));
    QCOMPARE(out.text(), std::string());
    QVERIFY(kw::alive(family_pythons().value(0).pid));
}

void TestWinServerControl::django_manager_becomes_the_terminal()
{
    kt::StandIns stand_ins;
    stand_ins.add("gnome-terminal", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir->file("args").toLocal8Bit() + "'\n");
    QProcess launcher;
    launcher.start(KESTROVA_WIN_DJANGO_LAUNCHER, {"mes hubs/un"});
    QVERIFY(launcher.waitForFinished(10000));
    QCOMPARE(launcher.exitCode(), 0);
    QCOMPARE(launcher.readAllStandardOutput(), QByteArray());
    // The program itself became the terminal: it was never a child of it.
    QCOMPARE(QString::fromUtf8(kt::read_file(dir->file("args"))).split('\n', Qt::SkipEmptyParts),
             QStringList({"--", "bash", "-c", "cd 'mes hubs/un' && python3 manage.py runserver; exec bash"}));
}

void TestWinServerControl::django_manager_reports_a_missing_terminal()
{
    QProcess launcher;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", dir->path());
    launcher.setProcessEnvironment(environment);
    launcher.start(KESTROVA_WIN_DJANGO_LAUNCHER, {"hubs/un"});
    QVERIFY(launcher.waitForFinished(10000));
    QCOMPARE(launcher.exitCode(), 1);
    QCOMPARE(launcher.readAllStandardError(), QByteArray("Erreur : impossible de lancer le terminal.\n"));
}

QTEST_GUILESS_MAIN(TestWinServerControl)
#include "tst_win_server_control.moc"
