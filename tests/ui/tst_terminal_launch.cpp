// The administrator window of the Linux build with the real gnome-terminal
// (this suite runs inside xvfb-run and dbus-run-session) and real hubs made
// from the template: what the keeper sees, and when the browser is asked.
#include "linux_screens.h"
#include "loopback_hubs.h"
#include "networkselectionwindow.h"
#include "press.h"
#include "real_terminal.h"
#include "recording_browser.h"
#include "test_support.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

const QString host = "127.0.0.2";

// Every process that the terminal runs for this suite carries it.
const char* const mark_variable = "KESTROVA_TERMINAL_LAUNCH";
const QByteArray mark = QByteArray(mark_variable) + "=" + QByteArray::number(::getpid());

// The Linux build never stops a server: the terminal's shell and the hub
// server are ended here, by their ids.
void stop_what_the_terminal_runs()
{
    for (pid_t pid : kt::marked_processes(mark))
        ::kill(pid, SIGKILL);
    QTRY_VERIFY2(kt::marked_processes(mark).isEmpty(), "the terminal's processes did not end");
    QTRY_VERIFY2(!kt::wait_for_port(host, 8000, 200), "something still listens on 127.0.0.2:8000");
}

} // namespace

class TestTerminalLaunch : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void second_hub_answers_and_the_browser_is_asked_before_the_panel();
    void hub_whose_django_fails_is_told_on_the_main_screen();
    void a_port_held_by_another_starts_nothing_and_its_own_hub_opens();
    void a_hub_answering_another_name_after_the_start_fails();
    void a_copy_of_a_running_project_is_not_already_running();
    void stop_ends_the_server_and_its_terminal_and_nothing_else();

private:
    std::unique_ptr<kt::IdleTerminal> idle;
};

void TestTerminalLaunch::initTestCase()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS") && !qEnvironmentVariableIsEmpty("DISPLAY"),
             "run inside xvfb-run and dbus-run-session");
    QVERIFY2(!kt::wait_for_port(host, 8000, 200), "something already listens on 127.0.0.2:8000");
    qputenv(mark_variable, QByteArray::number(::getpid()));
    idle = std::make_unique<kt::IdleTerminal>(mark_variable);
    QTRY_VERIFY(idle->open());
}

void TestTerminalLaunch::second_hub_answers_and_the_browser_is_asked_before_the_panel()
{
    kt::WorkDir dir;
    QVERIFY(!kt::provision_hub(dir.path(), "premier").isEmpty());
    QVERIFY(!kt::provision_hub(dir.path(), "second").isEmpty());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Premier|premier|\nSecond|second|\n");

    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    kt::Browser browser(&window);
    kt::LoadingScreenPaints paints;
    kt::press(kt::network_buttons(window).value(1));
    // The loading screen is gone by now: it was painted while the server started.
    QVERIFY(paints.count > 0);
    const QByteArray head = kt::http("HEAD", "http://127.0.0.2:8000/");
    const QByteArray name = kt::http("GET", "http://127.0.0.2:8000/_infos/kl/");
    stop_what_the_terminal_runs();

    QVERIFY2(head.startsWith("HTTP/1.1 200 OK"), head.constData());
    QVERIFY2(name.endsWith("\r\n\r\nsecond"), name.constData());
    QCOMPARE(browser.urls, QStringList {"http://127.0.0.2:8000"});
    // Asked between the loading screen and the panel: no screen at that moment.
    QCOMPARE(browser.screens, QList<QLayout*> {nullptr});
    kt::check_running_server_panel(window);
    QCOMPARE(err.text(), std::string());
}

void TestTerminalLaunch::hub_whose_django_fails_is_told_on_the_main_screen()
{
    kt::WorkDir dir;
    const QString project = kt::provision_hub(dir.path(), "casse");
    QVERIFY(!project.isEmpty());
    QFile settings(project + "/casse/settings.py");
    QVERIFY(settings.open(QIODevice::Append));
    settings.write("\nraise RuntimeError('hub cassé')\n");
    settings.close();
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Casse|casse|\n");

    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    window.show();
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(0));
    stop_what_the_terminal_runs();

    QVERIFY(browser.urls.isEmpty());
    const QString said = QString::fromStdString(err.text());
    // The message, then the server's own last lines, on the screen as on the error stream.
    auto* lines = window.findChild<QPlainTextEdit*>();
    QVERIFY(lines);
    QCOMPARE(kt::failure_shown(window) + "\n" + lines->toPlainText() + "\n", said);
    QVERIFY2(said.contains("Casse") && said.contains("ne répond pas") && lines->toPlainText().endsWith("hub cassé"),
             qPrintable(said));
}

void TestTerminalLaunch::a_port_held_by_another_starts_nothing_and_its_own_hub_opens()
{
    kt::WorkDir dir;
    QVERIFY(!kt::provision_hub(dir.path(), "second").isEmpty());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Premier|premier|\nSecond|second|\n");
    {
        // Hub A's server, left running as by an earlier Kestrova.
        const auto premier = kt::HubServer::django(dir.path(), host, "premier");
        QVERIFY(premier->running());
        // The ask goes to the hub itself, whatever proxy the desktop names.
        qputenv("http_proxy", "http://127.0.0.3:9");
        qputenv("HTTP_PROXY", "http://127.0.0.3:9");
        kt::StreamCapture err(std::cerr);
        NetworkSelectionWindow window(nullptr);
        window.show();
        kt::Browser browser(&window);
        kt::press(kt::network_buttons(window).value(1));
        QCOMPARE(kt::network_buttons(window).size(), 2);
        QVERIFY(browser.urls.isEmpty());
        const QString said = QString::fromStdString(err.text());
        QVERIFY2(said.contains(QString::fromUtf8("Le port 8000 est déjà pris par le serveur du réseau « premier »"))
                     && said.contains(QString::fromUtf8("« Second » n'est pas démarré")),
                 qPrintable(said));
        QCOMPARE(kt::failure_shown(window) + "\n", said);

        kt::press(kt::network_buttons(window).value(0));
        QCOMPARE(browser.urls, QStringList {"http://127.0.0.2:8000"});
        kt::check_running_server_panel(window, "Premier");
        QCOMPARE(QString::fromStdString(err.text()), said);
        // Neither press asked the terminal for a server.
        QTest::qWait(500);
        QCOMPARE(kt::marked_processes(mark), QList<pid_t>());
        qunsetenv("http_proxy");
        qunsetenv("HTTP_PROXY");
    }
    QTRY_VERIFY(!kt::wait_for_port(host, 8000, 100));

    // A program that is no hub: it accepts and never answers.
    kt::Listener other(host, 8000);
    QVERIFY(other.listening());
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    QElapsedTimer timer;
    timer.start();
    kt::press(kt::network_buttons(window).value(0));
    QVERIFY2(timer.elapsed() < 5000, "the ask of a silent program was not bounded");
    QCOMPARE(kt::network_buttons(window).size(), 2);
    QVERIFY(browser.urls.isEmpty());
    const QString said = QString::fromStdString(err.text());
    QVERIFY2(said.contains(QString::fromUtf8("pris par le programme « tst_terminal_launch » (processus %1), qui "
                                             "n'est pas un réseau Kestrova").arg(::getpid())),
             qPrintable(said));
    QTest::qWait(500);
    QCOMPARE(kt::marked_processes(mark), QList<pid_t>());
}

void TestTerminalLaunch::a_hub_answering_another_name_after_the_start_fails()
{
    kt::WorkDir dir;
    const QString project = kt::provision_hub(dir.path(), "second");
    QVERIFY(!project.isEmpty());
    // Its server says another hub's name, as a hub that took the port first would.
    QFile settings(project + "/second/settings.py");
    QVERIFY(settings.open(QIODevice::Append));
    settings.write("\nHUB_NAME = 'intrus'\n");
    settings.close();
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Second|second|\n");

    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(0));
    stop_what_the_terminal_runs();

    QCOMPARE(kt::failure_shown(window) + "\n", QString::fromStdString(err.text()));
    QVERIFY(browser.urls.isEmpty());
    const QString said = QString::fromStdString(err.text());
    QVERIFY2(said.contains(QString::fromUtf8("pris par le serveur du réseau « intrus » (programme « python3"))
                 && said.contains(QString::fromUtf8("), et non par celui de « Second » : le démarrage a échoué")),
             qPrintable(said));
}

void TestTerminalLaunch::a_copy_of_a_running_project_is_not_already_running()
{
    kt::WorkDir dir;
    QVERIFY(QDir().mkdir("archives") && !kt::provision_hub(dir.path() + "/archives", "quartier").isEmpty());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Quartier|quartier|\nCopie|archives/quartier|\n");
    const auto original = kt::HubServer::django(dir.path(), host, "quartier");
    QVERIFY(original->running());
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(1));
    QVERIFY(browser.urls.isEmpty());
    // The folder tells which copy runs.
    QVERIFY(kt::failure_shown(window).contains(QString::fromUtf8("« quartier » (programme « python3"))
            && kt::failure_shown(window).contains(QString::fromUtf8("dossier « %1 ») : « Copie »").arg(QDir("quartier").canonicalPath())));
    kt::press(kt::network_buttons(window).value(0));
    kt::check_running_server_panel(window, "Quartier");
    // Its server shares this suite's process group: the stop signals it alone.
    kt::press(window.findChildren<QPushButton*>().value(1));
    QCOMPARE(kt::failure_shown(window), QString());
    QVERIFY(!kt::wait_for_port(host, 8000, 200));
}

void TestTerminalLaunch::stop_ends_the_server_and_its_terminal_and_nothing_else()
{
    kt::WorkDir dir;
    const QString project = kt::provision_hub(dir.path(), "second");
    QVERIFY(!project.isEmpty());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Second|second|\n");
    // The keeper's own program in the same folder: no server of the network.
    QProcess bystander;
    bystander.setWorkingDirectory(project);
    bystander.start("sleep", {"600"});
    QVERIFY(bystander.waitForStarted());
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(0));
    kt::check_running_server_panel(window);
    kt::press(window.findChildren<QPushButton*>().value(1));
    const bool closed = QTest::qWaitFor([] { return kt::marked_processes(mark).isEmpty(); }, 5000);
    stop_what_the_terminal_runs();
    QVERIFY2(closed, "the server's terminal stayed open");
    QCOMPARE(kt::network_buttons(window).size(), 1);
    QCOMPARE(QString::fromStdString(err.text()), QString());
    QCOMPARE(bystander.state(), QProcess::Running);
}

QTEST_MAIN(TestTerminalLaunch)
#include "tst_terminal_launch.moc"
