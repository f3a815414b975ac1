#include "djangomanager.h"
#include "hostile_texts.h"
#include "hub_utilities.h"
#include "network.h"
#include "server_commands.h"
#include "server_control.h"
#include "server_output.h"
#include "test_support.h"

#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <iostream>
#include <thread>
#include <unistd.h>

namespace {

const QString host = "127.0.0.2";

// Sends the standard error stream of this process, children included, to a
// file for the object's life.
class ErrorToFile
{
public:
    explicit ErrorToFile(const QString& path)
    {
        std::cerr.flush();
        saved = ::dup(STDERR_FILENO);
        const int fd = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~ErrorToFile()
    {
        std::cerr.flush();
        ::dup2(saved, STDERR_FILENO);
        ::close(saved);
    }

private:
    int saved = -1;
};

QStringList wait_for_lines(const QString& path, int count)
{
    QStringList lines;
    for (int i = 0; i < 100; ++i) {
        lines = QString::fromUtf8(kt::read_file(path)).split('\n', Qt::SkipEmptyParts);
        if (lines.size() >= count)
            break;
        QThread::msleep(50);
    }
    return lines;
}

bool no_zombie_left()
{
    for (int i = 0; i < 100; ++i) {
        if (kt::zombie_children().isEmpty())
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

class TestServerControl : public QObject
{
    Q_OBJECT

private slots:
    void command_texts_data();
    void command_texts();
    void hostile_paths_run_nothing_but_the_server_data() { kt::hostile_texts(); }
    void hostile_paths_run_nothing_but_the_server();
    void server_output_last_lines_data();
    void server_output_last_lines();
    void server_output_is_copied_and_its_end_seen();

    void launch_opens_a_terminal_on_the_lan_address();
    void launch_without_terminal_is_silent_and_leaves_no_zombie();
    void django_manager_reports_the_terminal_it_started();
    void django_manager_reports_a_missing_terminal();

    void probe_sees_a_listener();
    void probe_waits_for_a_server_that_comes_up_late();
    void probe_gives_up_without_server();

    void who_answers_data();
    void who_answers();

    void a_registry_name_no_hub_could_say_is_told_when_pressed();
    void stop_signals_only_what_it_must_data();
    void stop_signals_only_what_it_must();
};

void TestServerControl::command_texts_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("launch");
    QTest::addColumn<QString>("manager");
    QTest::newRow("plain path")
        << "hubs/lumieres" << "cd hubs/lumieres && python3 manage.py runserver 127.0.0.2:8000 ; exec bash"
        << "cd hubs/lumieres && python3 manage.py runserver; exec bash";
    QTest::newRow("blank")
        << "mes hubs/un" << "cd 'mes hubs/un' && python3 manage.py runserver 127.0.0.2:8000 ; exec bash"
        << "cd 'mes hubs/un' && python3 manage.py runserver; exec bash";
    QTest::newRow("quote") << "l'hub" << "cd 'l'\\''hub' && python3 manage.py runserver 127.0.0.2:8000 ; exec bash"
                           << "cd 'l'\\''hub' && python3 manage.py runserver; exec bash";
    QTest::newRow("leading dash") << "-x" << "cd ./-x && python3 manage.py runserver 127.0.0.2:8000 ; exec bash"
                                  << "cd ./-x && python3 manage.py runserver; exec bash";
}

void TestServerControl::command_texts()
{
    QFETCH(QString, path);
    QFETCH(QString, launch);
    QFETCH(QString, manager);
    QCOMPARE(QString::fromStdString(launch_command(path.toStdString(), "127.0.0.2:8000")), launch);
    QCOMPARE(QString::fromStdString(django_manager_command(path.toStdString())), manager);
}

void TestServerControl::server_output_last_lines_data()
{
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<bool>("cut");
    QTest::addColumn<QByteArray>("kept");
    QByteArray many;
    for (int i = 1; i <= 25; ++i)
        many += "ligne " + QByteArray::number(i) + "\n";
    QTest::newRow("last twenty") << many << false << many.mid(many.indexOf("ligne 6\n"));
    QTest::newRow("cut first line dropped") << QByteArray("ne coupée\nentière\n") << true << QByteArray("entière\n");
    QTest::newRow("controls") << QByteArray("\x1b[31mrouge\x1b[0m\ta\x07" "b\xc2\x9b" "c\r\n\n  \n") << false
                              << QByteArray("rouge abc\n");
    QTest::newRow("carriage return") << QByteArray("10 %\r100 %\n") << false << QByteArray("100 %\n");
}

void TestServerControl::server_output_last_lines()
{
    QFETCH(QByteArray, tail);
    QFETCH(bool, cut);
    QFETCH(QByteArray, kept);
    QCOMPARE(QByteArray::fromStdString(last_lines_of(tail.toStdString(), cut)), kept);
}

void TestServerControl::server_output_is_copied_and_its_end_seen()
{
    kt::WorkDir dir;
    QVERIFY(QDir().mkpath(dir.file("hub")));
    kt::StandIns stand_ins;
    stand_ins.add("python3", "#!/bin/sh\necho \"ModuleNotFoundError: $PYTHONUNBUFFERED\" >&2\nexit 1\n");
    auto output = std::make_unique<ServerOutput>();
    QVERIFY(!output->ended());
    const std::string folder = output->folder();
    const std::string command = launch_command(dir.file("hub").toStdString(), "127.0.0.2:8000", folder);
    // The terminal's own shell would follow; its stand-in here ends at once.
    const std::string shown = exec_cmd("bash -c " + shell_quote(command.substr(0, command.rfind(" ; exec bash")))
                                       + " </dev/null");
    QVERIFY2(shown.rfind("ModuleNotFoundError: 1", 0) == 0, shown.c_str());
    QVERIFY(output->ended());
    QCOMPARE(QString::fromStdString(output->last_lines()), QString("ModuleNotFoundError: 1\n"));
    output.reset();
    QVERIFY(!QFileInfo::exists(QString::fromStdString(folder)));
}

void TestServerControl::hostile_paths_run_nothing_but_the_server()
{
    QFETCH(QByteArray, text);
    const QByteArray& path = text;
    kt::WorkDir dir;
    kt::write_file(dir.file("marker"), "");
    // The folder exists, whatever characters it holds, so the server command
    // must run inside it and nothing else may run at all.
    QVERIFY(QDir().mkpath(dir.file(QString::fromUtf8(path))));
    kt::StandIns stand_ins;
    stand_ins.add("python3", "#!/bin/sh\npwd > '" + dir.file("pwd").toLocal8Bit() + "'\necho \"$@\" > '"
                                 + dir.file("args").toLocal8Bit() + "'\n");
    // Network::launch's command, then DjangoManager::launch's.
    const QList<QPair<std::string, QByteArray>> commands {
        {launch_command(path.toStdString(), "127.0.0.2:8000"), "manage.py runserver 127.0.0.2:8000\n"},
        {django_manager_command(path.toStdString()), "manage.py runserver\n"},
    };
    for (const auto& [command, arguments] : commands) {
        QFile::remove(dir.file("pwd"));
        exec_cmd("bash -c " + shell_quote(command) + " </dev/null");
        QVERIFY2(!QFile::exists(dir.file("ran")), command.c_str());
        QCOMPARE(QString::fromUtf8(kt::read_file(dir.file("pwd"))),
                 QDir(dir.file(QString::fromUtf8(path))).canonicalPath() + "\n");
        QCOMPARE(kt::read_file(dir.file("args")), arguments);
    }
}

void TestServerControl::launch_opens_a_terminal_on_the_lan_address()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.add("gnome-terminal", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir.file("args").toLocal8Bit() + "'\n");
    Network network("Lumieres", "mes hubs/lumieres", "");
    QCOMPARE(network.launch(), 0);
    const QStringList args = wait_for_lines(dir.file("args"), 4);
    QCOMPARE(args, QStringList({"--", "bash", "-c",
                                "cd 'mes hubs/lumieres' && python3 manage.py runserver 127.0.0.2:8000 ; exec bash"}));
    QVERIFY(no_zombie_left());
}

void TestServerControl::launch_without_terminal_is_silent_and_leaves_no_zombie()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    for (const char* tool : {"sh", "cat", "grep", "awk", "tail"})
        stand_ins.link_system_tool(tool);
    const QByteArray saved_path = qgetenv("PATH");
    qputenv("PATH", stand_ins.path().toLocal8Bit());
    Network network("n", "p", "");
    {
        ErrorToFile err(dir.file("err"));
        QCOMPARE(network.launch(), 0);
        QVERIFY(no_zombie_left());
    }
    qputenv("PATH", saved_path);
    QCOMPARE(kt::read_file(dir.file("err")), QByteArray());
}

void TestServerControl::django_manager_reports_the_terminal_it_started()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add("gnome-terminal", "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + dir.file("args").toLocal8Bit() + "'\n");
    kt::StreamCapture out(std::cout);
    DjangoManager manager;
    QCOMPARE(manager.launch("hubs/un"), 0);
    const QString said = QString::fromStdString(out.text());
    QVERIFY2(QRegularExpression("^Le serveur Django a été lancé dans un nouveau terminal \\(PID [0-9]+\\)\\.\n$")
                 .match(said)
                 .hasMatch(),
             qPrintable(said));
    QCOMPARE(wait_for_lines(dir.file("args"), 4),
             QStringList({"--", "bash", "-c", "cd hubs/un && python3 manage.py runserver; exec bash"}));
    QVERIFY(no_zombie_left());
}

void TestServerControl::django_manager_reports_a_missing_terminal()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    const QByteArray saved_path = qgetenv("PATH");
    qputenv("PATH", stand_ins.path().toLocal8Bit());
    {
        ErrorToFile err(dir.file("err"));
        kt::StreamCapture out(std::cout);
        QCOMPARE(DjangoManager().launch("hubs/un"), 0);
        // The child reports on its own time; wait for its words, then for its end.
        for (int i = 0; i < 100 && kt::read_file(dir.file("err")).isEmpty(); ++i)
            QThread::msleep(50);
        QVERIFY(no_zombie_left());
    }
    qputenv("PATH", saved_path);
    QCOMPARE(kt::read_file(dir.file("err")), QByteArray("Erreur : impossible de lancer le terminal.\n"));
}

void TestServerControl::probe_sees_a_listener()
{
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    kt::Listener listener(host, 8000);
    QVERIFY(listener.listening());
    QCOMPARE(Network().is_launched(), 1);
}

void TestServerControl::probe_waits_for_a_server_that_comes_up_late()
{
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    std::unique_ptr<kt::Listener> listener;
    std::thread late([&listener] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        listener = std::make_unique<kt::Listener>(host, 8000);
    });
    const int answer = Network().is_launched();
    late.join();
    QCOMPARE(answer, 1);
}

void TestServerControl::probe_gives_up_without_server()
{
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    QCOMPARE(Network().is_launched(), 0);
}

void TestServerControl::who_answers_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("ours");
    QTest::newRow("this hub") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n premier\n") << "premier" << true;
    QTest::newRow("folded") << QByteArray("HTTP/1.0 200 OK\r\n\r\nLes  Lumieres\n de\tTavoule") << "Les Lumieres de Tavoule"
                            << false;
    QTest::newRow("another hub") << QByteArray("HTTP/1.1 200 OK\r\n\r\nsecond") << "second" << false;
    QTest::newRow("a folder without settings") << QByteArray("HTTP/1.1 200 OK\r\n\r\nstatic") << "static" << false;
    QTest::newRow("climbing out") << QByteArray("HTTP/1.1 200 OK\r\n\r\n../hub/premier") << "../hub/premier" << false;
    QTest::newRow("absolute") << QByteArray("HTTP/1.1 200 OK\r\n\r\n/tmp") << "/tmp" << false;
    QTest::newRow("the package, with a slash") << QByteArray("HTTP/1.1 200 OK\r\n\r\npremier/") << "premier/" << false;
    QTest::newRow("not found") << QByteArray("HTTP/1.1 404 Not Found\r\n\r\npremier") << "" << false;
    QTest::newRow("empty body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << "" << false;
    QTest::newRow("a page for every address")
        << QByteArray("HTTP/1.1 200 OK\r\n\r\n<!DOCTYPE html>\n<html><body>premier</body></html>") << "" << false;
    QTest::newRow("a stream") << QByteArray("HTTP/1.1 200 OK\r\n\r\n") + QByteArray(4000, 'x') << "" << false;
    QTest::newRow("terminal controls") << QByteArray("HTTP/1.1 200 OK\r\n\r\n\x1b[2J\x1b]0;pwned\x07evil") << ""
                                       << false;
    QTest::newRow("C1 controls") << QByteArray("HTTP/1.1 200 OK\r\n\r\nevil\xc2\x9b" "2J") << "" << false;
    QTest::newRow("its registry name") << QByteArray("HTTP/1.1 200 OK\r\n\r\nR\xc3\xa9seau  Hub") << "Réseau Hub" << true;
    QTest::newRow("the longest name") << "HTTP/1.1 200 OK\r\n\r\n" + QByteArray(255, 'n') << QString(255, 'n') << false;
    QTest::newRow("a byte longer") << "HTTP/1.1 200 OK\r\n\r\n" + QByteArray(256, 'n') << "" << false;
    QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH_9.2\r\n") << "" << false;
    QTest::newRow("nothing") << QByteArray() << "" << false;
}

void TestServerControl::who_answers()
{
    QFETCH(QByteArray, raw);
    QFETCH(QString, name);
    QFETCH(bool, ours);
    kt::WorkDir dir;
    QVERIFY(QDir().mkpath("hub/premier") && QDir().mkpath("hub/static") && QDir().mkpath("premier"));
    kt::write_file("hub/premier/settings.py", "");
    kt::write_file("premier/settings.py", "");
    const std::string said = hub_name_of(parse_hub_answer(raw.toStdString()));
    QCOMPARE(QString::fromStdString(said), name);
    QCOMPARE(is_name_of(Network("Réseau\tHub", "hub", ""), said), ours);
}

void TestServerControl::a_registry_name_no_hub_could_say_is_told_when_pressed()
{
    ServerControl control;
    Network network(std::string(256, 'a'), "p", "");
    QCOMPARE(control.launch(network), LaunchOutcome::failed);
    QVERIFY2(control.told().find("255 octets") != std::string::npos, control.told().c_str());
}

// A hub found running at the launch, then (if any) what the keeper ran in
// its folder after it: only the network's proven server is signalled, a
// keeper's wrapper gets no more than Ctrl-C, this program's own group nothing.
void TestServerControl::stop_signals_only_what_it_must_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("then");
    QTest::addColumn<bool>("stopped");
    QTest::addColumn<bool>("survives");
    const QString hub = "python3 manage.py runserver --noreload " + host + ":8000";
    QTest::newRow("a hub on every address") << "exec " + QString(hub).replace(host, "0.0.0.0") << "" << true << false;
    QTest::newRow("another program afterwards") << "exec " + hub << "exec python3 -m http.server --bind " + host + " 8000"
                                                << false << true;
    QTest::newRow("the keeper's wrapper") << "exec setsid sh -c 'trap \"echo Ctrl-C\" INT; " + hub + "; sleep 600'"
                                          << "" << true << true;
    QTest::newRow("deaf to Ctrl-C") << "exec setsid sh -c 'trap \"\" INT; " + hub + "; sleep 600'" << "" << true << true;
    QTest::newRow("in this program's own group") << "exec " + hub << "" << true << false;
}

void TestServerControl::stop_signals_only_what_it_must()
{
    QFETCH(QString, first);
    QFETCH(QString, then);
    QFETCH(bool, stopped);
    QFETCH(bool, survives);
    kt::WorkDir dir;
    const QString project = kt::provision_hub(dir.path(), "quartier");
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    const bool own_group = QString(QTest::currentDataTag()).contains("own group");
    if (own_group && ::setpgid(0, 0) == 0) // every member of this program's group then runs in the folder
        QDir::setCurrent(project);
    struct Started // ends what the row started, wrappers with their groups, whatever the checks say
    {
        QProcess runs[2];
        ~Started()
        {
            for (QProcess& run : runs) {
                if (run.state() == QProcess::Running && ::getpgid(run.processId()) == run.processId())
                    ::kill(-static_cast<pid_t>(run.processId()), SIGKILL);
                run.kill(), run.waitForFinished();
            }
        }
    } started;
    const auto run = [&](int i, const QString& command) {
        started.runs[i].setWorkingDirectory(project);
        started.runs[i].start("/bin/sh", {"-c", command});
        return started.runs[i].waitForStarted() && kt::wait_for_port(host, 8000, 20000);
    };
    QVERIFY(run(0, first));
    ServerControl control;
    Network network("Quartier", own_group ? "." : "quartier", "");
    QCOMPARE(control.launch(network), LaunchOutcome::already_running);
    if (!then.isEmpty()) {
        started.runs[0].kill(), started.runs[0].waitForFinished();
        QTRY_VERIFY(!kt::wait_for_port(host, 8000, 50));
        QVERIFY(run(1, then));
    }
    kt::StreamCapture err(std::cerr);
    QCOMPARE(control.stop(), stopped);
    QCOMPARE(err.text().find("rien n'est arrêté") != std::string::npos, !stopped);
    QCOMPARE(kt::wait_for_port(host, 8000, 100), !stopped);
    QCOMPARE(!started.runs[then.isEmpty() ? 0 : 1].waitForFinished(500), survives);
    QDir::setCurrent(dir.path());
}

QTEST_GUILESS_MAIN(TestServerControl)
#include "tst_server_control.moc"
