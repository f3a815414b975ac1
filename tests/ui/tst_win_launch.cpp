// The administrator window of a Windows build (built once per start
// configuration): a real hub started through the command interpreter
// stand-in, seen on 127.0.0.1:8000, and stopped from the panel.
#include "loopback_hubs.h"
#include "network.h"
#include "networkselectionwindow.h"
#include "press.h"
#include "recording_browser.h"
#include "test_support.h"
#include "widget_lookup.h"
#include "../core/tst_win_support.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

using kt::item_as;
using kt::widget_at;

QStringList network_button_texts(QWidget& window)
{
    QStringList texts;
    for (QPushButton* button : kt::network_buttons(window))
        texts << button->text();
    return texts;
}

QPushButton* stop_button(QWidget& window)
{
    QWidget* buttons = widget_at(window.layout(), 2);
    return buttons ? item_as<QPushButton>(buttons->layout(), 1) : nullptr;
}


void check_panel(NetworkSelectionWindow& window, const QString& name = "Lumieres")
{
    QCOMPARE(window.windowTitle(), "Kestrova : " + name);
    QCOMPARE(window.palette().brush(QPalette::Window).gradient()->stops().value(0).second, QColor("#3399ff"));
    QLayout* panel = window.layout();
    QVERIFY(panel);
    QCOMPARE(panel->count(), 4);
    auto* animation = item_as<QLabel>(widget_at(panel, 0)->layout(), 0);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("img/fuseum.gif"));
    QCOMPARE(item_as<QLabel>(panel, 1)->text(), QString("Votre Serveur est Pret"));
    QCOMPARE(stop_button(window)->text(), QString("Arreter le Serveur"));
    QCOMPARE(kt::shown_text(item_as<QLabel>(panel, 3)->text()), "Reseau : " + name + " Adresse : 127.0.0.1 Port : 8000");
}

QList<pid_t> server_processes()
{
    QList<pid_t> servers;
    for (const kw::Process& process : kw::descendants())
        if (process.image.startsWith("python") && process.command_line.contains("runserver"))
            servers << process.pid;
    return servers;
}

// A folder whose name holds what the command interpreter would read as
// operators, with a real hub made from the template inside.
QString provision_hub_in_hostile_folder(const kt::WorkDir& dir)
{
    const QString folder = "mes hubs & co (2)^<x>";
    if (kt::provision_hub(dir.path(), "lumieres").isEmpty() || !QDir().mkdir(folder)
        || !QDir().rename("lumieres", folder + "/lumieres"))
        return QString();
    return folder + "/lumieres";
}

} // namespace

class TestWinLaunch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void slots_of_the_windows_build();
    void launch_shows_the_panel_and_stop_returns_to_the_registry();
    void destroying_the_window_stops_the_server_it_started();
    void closing_a_window_that_started_nothing_ends_nothing();
    void a_start_that_never_answers_is_told_and_leaves_nothing_to_stop_data();
    void a_start_that_never_answers_is_told_and_leaves_nothing_to_stop();
    void a_port_held_by_another_starts_nothing_and_its_own_hub_opens();
    void a_stop_whose_server_keeps_the_port_says_so();
    void a_click_during_the_launch_stops_nothing();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kw::Input> input;
};

void TestWinLaunch::init()
{
    QVERIFY2(!kw::server_port_answers(), "something already listens on 127.0.0.1:8000");
    dir = std::make_unique<kt::WorkDir>();
    // pause (configuration B) sees the end of input, never the suite's console.
    input = std::make_unique<kw::Input>();
    input->close();
}

void TestWinLaunch::cleanup()
{
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    QTRY_VERIFY(!kw::server_port_answers());
    input.reset();
    dir.reset();
}

void TestWinLaunch::slots_of_the_windows_build()
{
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    const QMetaObject* meta = window.metaObject();
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    const QByteArray expected[] = {"fuck_tho(int)", "stop_network()", "testBtn()"};
    for (int i = 0; i < 3; ++i) {
        const QMetaMethod slot = meta->method(meta->methodOffset() + i);
        QCOMPARE(slot.methodSignature(), expected[i]);
        QCOMPARE(slot.methodType(), QMetaMethod::Slot);
        QCOMPARE(slot.access(), QMetaMethod::Private);
    }
}

void TestWinLaunch::launch_shows_the_panel_and_stop_returns_to_the_registry()
{
    const QString path = provision_hub_in_hostile_folder(*dir);
    QVERIFY(!path.isEmpty());
    kt::write_file("networks.data", "Autre|ailleurs|\nLumieres|" + path.toUtf8() + "|\n");
    kw::Outsider outsider;
    // What an earlier stop left: it must never be printed or used again.
    kt::write_file("server_pid.tmp", QByteArray::number(outsider.pid()) + "  \n");

    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(1));

    QCOMPARE(browser.urls, QStringList {"http://127.0.0.1:8000"});
    QCOMPARE(browser.screens, QList<QLayout*> {nullptr});
    check_panel(window);
    const QString trace = QString::fromStdString(out.text());
    QVERIFY2(QRegularExpression("^Autre\\|ailleurs\\|\nLumieres\\|.*\\|\n1\n2\n1{0,9}0sdsds$").match(trace).hasMatch(),
             qPrintable(trace));
    const QByteArray name = kt::http("GET", "http://127.0.0.1:8000/_infos/kl/");
    QVERIFY2(name.endsWith("\r\n\r\nlumieres"), name.constData());
    const QList<pid_t> servers = server_processes();
    QVERIFY2(!servers.isEmpty(), qPrintable(kw::describe(kw::descendants())));

    kt::write_file("networks.data", "Autre|ailleurs|\nLumieres|" + path.toUtf8() + "|\nTroisieme|x|\n");
    const std::size_t printed = out.text().size();
    kt::press(stop_button(window));

    // The listing names the last python started: the server that listens.
    const QString stop_trace = QString::fromStdString(out.text().substr(printed));
    QVERIFY2(stop_trace.startsWith(QString::number(servers.last()) + "  \n"), qPrintable(stop_trace));
    QVERIFY2(!stop_trace.contains(QString::number(outsider.pid())), qPrintable(stop_trace));
    QTRY_VERIFY(!kw::server_port_answers());
    for (pid_t server : servers)
        QTRY_VERIFY2(!kw::alive(server), qPrintable(kw::describe(kw::descendants())));
    QVERIFY(outsider.running());

    QCOMPARE(network_button_texts(window), QStringList({"Autre", "Lumieres", "Troisieme"}));
    QCOMPARE(window.networks.size(), std::size_t(3));
    QCOMPARE(window.windowTitle(), QString("Accueil Kestrova"));
    QCOMPARE(browser.urls.size(), 1);
    QCOMPARE(QString::fromStdString(err.text()), QString());
}

void TestWinLaunch::destroying_the_window_stops_the_server_it_started()
{
    const QString path = provision_hub_in_hostile_folder(*dir);
    QVERIFY(!path.isEmpty());
    kt::write_file("networks.data", "Lumieres|" + path.toUtf8() + "|\n");
    kw::Outsider outsider;
    kt::StreamCapture out(std::cout);
    QList<pid_t> servers;
    {
        NetworkSelectionWindow window(nullptr);
        kt::Browser browser(&window);
        kt::press(kt::network_buttons(window).value(0));
        check_panel(window);
        servers = server_processes();
        QVERIFY(!servers.isEmpty());
    }
    QVERIFY2(QString::fromStdString(out.text()).endsWith("sdsds" + QString::number(servers.last()) + "  \n"),
             out.text().c_str());
    QTRY_VERIFY(!kw::server_port_answers());
    for (pid_t server : servers)
        QTRY_VERIFY(!kw::alive(server));
    QVERIFY(outsider.running());
}

void TestWinLaunch::closing_a_window_that_started_nothing_ends_nothing()
{
    kt::write_file("networks.data", "Lumieres|lumieres|\n");
    kw::Outsider outsider;
    kt::write_file("server_pid.tmp", QByteArray::number(outsider.pid()) + "  \n");
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    {
        NetworkSelectionWindow window(nullptr);
        // Even on the panel: this window started no server.
        window.clean_screen();
        window.network_started_mode(nullptr);
    }
    QCOMPARE(out.text(), std::string("Lumieres|lumieres|\n1\n"));
    QCOMPARE(err.text(), std::string());
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray::number(outsider.pid()) + "  \n");
    QVERIFY(outsider.running());
    QCOMPARE(kw::descendants().size(), 1);
}

void TestWinLaunch::a_start_that_never_answers_is_told_and_leaves_nothing_to_stop_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("Django fails") << QByteArray("casse") << QString();
    QTest::newRow("refused path") << QByteArray("cas\"se") << QString::fromUtf8("Chemin refusé : ");
}

void TestWinLaunch::a_start_that_never_answers_is_told_and_leaves_nothing_to_stop()
{
    QFETCH(QByteArray, path);
    QFETCH(QString, refusal);
    QDir().mkdir("casse");
    kt::write_file("casse/manage.py", "import sys\nsys.exit('this hub is broken')\n");
    kt::write_file("networks.data", "Casse|" + path + "|\n");
    kw::Outsider outsider;
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    {
        NetworkSelectionWindow window(nullptr);
        kt::Browser browser(&window);
        kt::press(kt::network_buttons(window).value(0));
        QCOMPARE(kt::failure_shown(window), QString::fromUtf8("Le serveur du réseau « Casse » ne répond pas sur le port 8000 : le démarrage a échoué."));
        QVERIFY(browser.urls.isEmpty());
    }
    // Closing the window ran no listing: nothing of this window ever answered.
    QCOMPARE(out.text(), "Casse|" + path.toStdString() + "|\n1\n1111111111Casse|" + path.toStdString() + "|\n1\n");
    QVERIFY(!QFile::exists("server_pid.tmp"));
    QVERIFY(outsider.running());
    const QString said = QString::fromStdString(err.text());
    QVERIFY2(said.startsWith(refusal) && said.contains(QString::fromUtf8("« Casse » ne répond pas")), qPrintable(said));
}

void TestWinLaunch::a_port_held_by_another_starts_nothing_and_its_own_hub_opens()
{
    kw::write_recording_project("second");
    qputenv("KW_RECORD", dir->file("record").toLocal8Bit());
    kt::write_file("networks.data", "Premier|premier|\nSecond|second|\n");
    {
        // Hub A's server, started by the test itself.
        const auto premier = kt::HubServer::django(dir->path(), "127.0.0.1", "premier");
        QVERIFY(premier->running());
        const int processes = kw::descendants().size();
        kt::StreamCapture out(std::cout);
        kt::StreamCapture err(std::cerr);
        {
            NetworkSelectionWindow window(nullptr);
            kt::Browser browser(&window);
            kt::press(kt::network_buttons(window).value(1));
            QCOMPARE(network_button_texts(window), QStringList({"Premier", "Second"}));
            QVERIFY(browser.urls.isEmpty());
            const QString said = QString::fromStdString(err.text());
            QVERIFY2(said.contains(QString::fromUtf8("Le port 8000 est déjà pris par le serveur du réseau « premier »"))
                         && said.contains(QString::fromUtf8("« Second » n'est pas démarré")),
                     qPrintable(said));

            kt::press(kt::network_buttons(window).value(0));
            QCOMPARE(browser.urls, QStringList {"http://127.0.0.1:8000"});
            check_panel(window, "Premier");
            QCOMPARE(QString::fromStdString(err.text()), said);
        }
        // Neither press started a server, and closing the window stopped none.
        QVERIFY(kw::recorded_runs(dir->file("record")).isEmpty());
        QCOMPARE(kw::descendants().size(), processes);
        QCOMPARE(out.text(), std::string("Premier|premier|\nSecond|second|\n1\n2\nPremier|premier|\nSecond|second|\n"
                                         "1\n2\nsdsds"));
        QVERIFY(!QFile::exists("server_pid.tmp"));
        QVERIFY(kt::http("GET", "http://127.0.0.1:8000/_infos/kl/").endsWith("\r\n\r\npremier"));
    }
    QTRY_VERIFY(!kw::server_port_answers());

    // A program that is no hub: it accepts and never answers.
    kt::Listener other("127.0.0.1", 8000);
    QVERIFY(other.listening());
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::press(kt::network_buttons(window).value(1));
    QCOMPARE(network_button_texts(window), QStringList({"Premier", "Second"}));
    QVERIFY2(QString::fromStdString(err.text())
                 .contains(QString::fromUtf8("pris par le programme « tst_win_launch_a » (processus %1), qui n'est "
                                             "pas un réseau Kestrova").arg(::getpid())),
             err.text().c_str());
    QVERIFY(kw::recorded_runs(dir->file("record")).isEmpty());
}

void TestWinLaunch::a_stop_whose_server_keeps_the_port_says_so()
{
    // A server with a python helper started after it: the stop ends the last
    // python listed, the helper, and the server goes on answering.
    QDir().mkdir("tenace");
    kt::write_file("tenace/manage.py",
                   "import subprocess, sys\n"
                   "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
                   "server = HTTPServer(('127.0.0.1', 8000), BaseHTTPRequestHandler)\n"
                   "subprocess.Popen([sys.executable, '-c', 'import time; time.sleep(600)'])\n"
                   "server.serve_forever()\n");
    kt::write_file("networks.data", "Tenace|tenace|\n");
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    kt::press(kt::network_buttons(window).value(0));
    check_panel(window, "Tenace");
    QCOMPARE(QString::fromStdString(err.text()), QString());
    kt::press(stop_button(window));

    QCOMPARE(QString::fromStdString(err.text()),
             QString::fromUtf8("Le port 8000 répond encore après l'arrêt du serveur : un serveur y tourne toujours.\n"));
    QCOMPARE(network_button_texts(window), QStringList {"Tenace"});
    QCOMPARE(kt::failure_shown(window) + "\n", QString::fromStdString(err.text()));
}

void TestWinLaunch::a_click_during_the_launch_stops_nothing()
{
    QVERIFY(!kt::provision_hub(dir->path(), "lumieres").isEmpty());
    kt::write_file("networks.data", "Lumieres|lumieres|\n");
    NetworkSelectionWindow window(nullptr);
    kt::Browser browser(&window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // A second click, made during the launch where the panel shows "Arreter le Serveur".
    NetworkSelectionWindow panel(nullptr);
    panel.clean_screen();
    panel.network_started_mode(nullptr);
    panel.show();
    const QPoint at = stop_button(panel)->mapTo(&panel, stop_button(panel)->rect().center());
    // Queued as the window system queues it: handled once the event loop runs.
    QTimer::singleShot(100, &window, [&] { QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, at); });
    QTest::mouseClick(kt::network_buttons(window).value(0), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!BusyWork::busy(&window), 60000);
    check_panel(window);
    QVERIFY(kw::server_port_answers());
}

QTEST_MAIN(TestWinLaunch)
#include "tst_win_launch.moc"
