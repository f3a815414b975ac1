#include "network.h"
#include "networkselectionwindow.h"
#include "press.h"
#include "recording_browser.h"
#include "test_paths.h"
#include "test_support.h"
#include "widget_lookup.h"
#include "linux_screens.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

using kt::Browser;
using kt::check_loading_screen;
using kt::check_running_server_panel;
using kt::item_as;
using kt::network_buttons;
using kt::widget_at;

const QString host = "127.0.0.2";

struct Captured
{
    kt::StreamCapture out {std::cout};
    kt::StreamCapture err {std::cerr};
};

} // namespace

class TestNetworkSelectionWindow : public QObject
{
    Q_OBJECT

private slots:
    void main_screen_structure();
    void one_button_per_network_mapped_by_position();
    void empty_registry_gives_no_button();
    void teardown_leaves_no_layout();
    void slots_and_test_button();

    void pressing_a_button_launches_its_network_and_shows_the_panel();
    void real_hub_starts_and_answers();
    void failed_start_is_told_on_the_main_screen();
    void command_failure_keeps_the_window_usable();
    void names_with_ampersands_show_as_written();
    void ten_networks_all_readable();
};

void TestNetworkSelectionWindow::main_screen_structure()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "Lumieres|hubs/lumieres|\n");
    Captured captured;
    NetworkSelectionWindow window(nullptr);

    QCOMPARE(window.windowTitle(), QString("Accueil Kestrova"));
    QCOMPARE(window.minimumSize(), QSize(800, 400));
    QCOMPARE(window.maximumSize(), QSize(800, 400));

    auto* top = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(top);
    QCOMPARE(top->count(), 1);
    QWidget* row = widget_at(top, 0);
    QVERIFY(qobject_cast<QHBoxLayout*>(row->layout()));
    auto* picture = item_as<QLabel>(row->layout(), 0);
    QVERIFY(picture->hasScaledContents());
    QCOMPARE(picture->minimumSize(), QSize(400, 328));
    QCOMPARE(picture->maximumSize(), QSize(400, 328));

    QWidget* column = widget_at(row->layout(), 1);
    auto* banner = item_as<QLabel>(column->layout(), 0);
    QCOMPARE(banner->text(),
             QString("<div><span style='font-size:60px;'> Kestrova </span></div> <div "
                     "style='margin-top:1px;text-align:center;'> Modernisez la Gestion de vos ressources "));
    QVERIFY(banner->wordWrap());
    QWidget* box = widget_at(column->layout(), 1);
    QCOMPARE(item_as<QLabel>(box->layout(), 0)->text(),
             QString("<div style='color:blue;'><b> + Creer un Nouveau Reseau </b></div>"));
    QCOMPARE(item_as<QLabel>(box->layout(), 1)->text(), QString("<div>Reseaux disponibles </div>"));

    const QList<QPushButton*> buttons = network_buttons(window);
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons[0]->text(), QString("Lumieres"));
    QCOMPARE(buttons[0]->property("class").toString(), QString("net-btn"));
    QCOMPARE(captured.out.text(), std::string("Lumieres|hubs/lumieres|\n1\n"));
}

void TestNetworkSelectionWindow::one_button_per_network_mapped_by_position()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "Jumeau|hubs/un|\nR\xc3\xa9seau|hubs/deux|\nJumeau|hubs/trois|\n");
    Captured captured;
    NetworkSelectionWindow window(nullptr);

    const QList<QPushButton*> buttons = network_buttons(window);
    QCOMPARE(buttons.size(), 3);
    QCOMPARE(buttons[0]->text(), QString("Jumeau"));
    QCOMPARE(buttons[1]->text(), QString::fromUtf8("R\xc3\xa9seau"));
    QCOMPARE(buttons[2]->text(), QString("Jumeau"));
    const QList<QSignalMapper*> mappers = window.findChildren<QSignalMapper*>();
    QCOMPARE(mappers.size(), 1);
    for (int i = 0; i < 3; ++i)
        QCOMPARE(mappers[0]->mapping(i), buttons[i]);
    QCOMPARE(window.networks.size(), std::size_t(3));
    QCOMPARE(window.networks[2]->path, std::string("hubs/trois"));
    QVERIFY(QString::fromStdString(captured.out.text()).endsWith("\n1\n2\n3\n"));
}

void TestNetworkSelectionWindow::empty_registry_gives_no_button()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "");
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    QVERIFY(network_buttons(window).isEmpty());
    QCOMPARE(window.findChildren<QSignalMapper*>().size(), 1);
    QCOMPARE(captured.err.text(), std::string());

    kt::WorkDir without_registry;
    NetworkSelectionWindow bare(nullptr);
    QVERIFY(network_buttons(bare).isEmpty());
    QCOMPARE(captured.err.text(), std::string("Impossible d'ouvrir le fichier JSON.\n"));
}

void TestNetworkSelectionWindow::teardown_leaves_no_layout()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "a|b|\n");
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    QPointer<QPushButton> button = network_buttons(window).value(0);
    QVERIFY(button);
    window.clean_screen();
    QVERIFY(!window.layout());
    QVERIFY(!button);
    // The mapper is the window's, not the screen's.
    QCOMPARE(window.findChildren<QSignalMapper*>().size(), 1);
    window.remove_layouts(nullptr);
    QVERIFY(!window.layout());

    static QStringList warnings;
    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType type, const QMessageLogContext&, const QString& message) {
            if (type != QtDebugMsg && type != QtInfoMsg)
                warnings << message;
        });
    window.loading_mode();
    window.remove_layouts(nullptr);
    window.network_started_mode(nullptr);
    window.remove_layouts(nullptr);
    window.new_network_mode();
    qInstallMessageHandler(previous);
    QCOMPARE(warnings, QStringList());
    QVERIFY(window.layout());
    QCOMPARE(window.layout()->count(), 3);
    window.remove_layouts(nullptr);
    window.loading_mode();
    check_loading_screen(window);
}

void TestNetworkSelectionWindow::slots_and_test_button()
{
    kt::WorkDir dir;
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    const QMetaObject* meta = window.metaObject();
    QCOMPARE(meta->className(), "NetworkSelectionWindow");
    QCOMPARE(meta->methodCount() - meta->methodOffset(), 3);
    QCOMPARE(meta->method(meta->methodOffset()).methodSignature(), QByteArray("fuck_tho(int)"));
    QCOMPARE(meta->method(meta->methodOffset() + 2).methodSignature(), QByteArray("testBtn()"));
    QCOMPARE(meta->method(meta->methodOffset()).access(), QMetaMethod::Private);

    kt::StreamCapture out(std::cout);
    QVERIFY(QMetaObject::invokeMethod(&window, "testBtn"));
    QCOMPARE(out.text(), std::string("dsdsd"));
}

void TestNetworkSelectionWindow::pressing_a_button_launches_its_network_and_shows_the_panel()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.add_terminal(dir.path());
    // A project that serves HTTP at once on the address it is given and does
    // not say its name, as a plain Django project: taken on the port alone.
    QDir().mkpath("hubs/deux");
    kt::write_file("hubs/deux/manage.py",
                   "import sys\n"
                   "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
                   "host, port = sys.argv[2].rsplit(':', 1)\n"
                   "class Handler(BaseHTTPRequestHandler):\n"
                   "    def do_GET(self):\n"
                   "        self.send_error(404)\n"
                   "HTTPServer((host, int(port)), Handler).serve_forever()\n");
    kt::write_file("networks.data", "Un|hubs/un|\nAtelier <Nord> & Fils|hubs/deux|\nTrois|hubs/trois|\n");

    Captured captured;
    NetworkSelectionWindow window(nullptr);
    Browser browser(&window);
    kt::press(network_buttons(window).value(1));
    const QList<pid_t> groups = kt::recorded_groups(dir.path());
    for (pid_t group : groups)
        kt::stop_process_group(group);

    QCOMPARE(groups.size(), 1);
    QCOMPARE(browser.urls, QStringList {"http://127.0.0.2:8000"});
    QCOMPARE(browser.screens, QList<QLayout*> {nullptr});
    // The server's output also goes to a folder of the program's own.
    const QString command = QString::fromUtf8(kt::read_file("terminal.args")).split('\n').value(3);
    QVERIFY2(QRegularExpression("^cd hubs/deux && PYTHONUNBUFFERED=1 python3 manage.py runserver 127.0.0.2:8000 "
                                "2>&1 \\| tee \\S+/sortie ; .* ; exec bash$")
                 .match(command)
                 .hasMatch(),
             qPrintable(command));
    check_running_server_panel(window, "Atelier <Nord> & Fils");
    QCOMPARE(captured.err.text(), std::string());
}


void TestNetworkSelectionWindow::real_hub_starts_and_answers()
{
    kt::WorkDir dir;
    QVERIFY(!kt::provision_hub(dir.path(), "premier").isEmpty());
    QVERIFY(!kt::provision_hub(dir.path(), "second").isEmpty());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.add_terminal(dir.path());
    stand_ins.prefer_system_python();
    kt::write_file("networks.data", "Premier|premier|\nSecond|second|\n");

    Captured captured;
    NetworkSelectionWindow window(nullptr);
    Browser browser(&window);
    kt::press(network_buttons(window).value(1));
    const QList<pid_t> groups = kt::recorded_groups(dir.path());
    const QByteArray head = kt::http("HEAD", "http://127.0.0.2:8000/");
    const QByteArray name = kt::http("GET", "http://127.0.0.2:8000/_infos/kl/");
    for (pid_t group : groups)
        kt::stop_process_group(group);

    QCOMPARE(groups.size(), 1);
    QVERIFY2(head.startsWith("HTTP/1.1 200 OK"), head.constData());
    QVERIFY2(name.endsWith("\r\n\r\nsecond"), name.constData());
    QCOMPARE(browser.urls, QStringList {"http://127.0.0.2:8000"});
    check_running_server_panel(window);
}

void TestNetworkSelectionWindow::failed_start_is_told_on_the_main_screen()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.add_terminal(dir.path());
    QDir().mkdir("cassé");
    kt::write_file("cassé/manage.py", "import sys\nsys.exit('this hub is broken')\n");
    kt::write_file("networks.data", "Casse|cassé|\n");

    Captured captured;
    NetworkSelectionWindow window(nullptr);
    Browser browser(&window);
    kt::press(network_buttons(window).value(0));
    for (pid_t group : kt::recorded_groups(dir.path()))
        kt::stop_process_group(group);

    QVERIFY(browser.urls.isEmpty());
    const QString err = QString::fromStdString(captured.err.text());
    auto* lines = window.findChild<QPlainTextEdit*>();
    QVERIFY(lines && lines->toPlainText() == "this hub is broken");
    QCOMPARE(kt::failure_shown(window) + "\n" + lines->toPlainText() + "\n", err);
    QVERIFY2(err.contains("Casse") && err.contains("ne répond pas"), qPrintable(err));
}

void TestNetworkSelectionWindow::command_failure_keeps_the_window_usable()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "Un|hubs/un|\nDeux|hubs/deux|\n");
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    QPushButton* second = network_buttons(window).value(1);
    {
        kt::CommandPipesRefused refused;
        kt::press(second);
    }
    const QString err = QString::fromStdString(captured.err.text());
    QVERIFY2(err.contains("Erreur lors de l'exécution de la commande."), qPrintable(err));
    // Back on a main screen that lists the registry once.
    const QList<QPushButton*> buttons = network_buttons(window);
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons[1]->text(), QString("Deux"));
    QCOMPARE(window.networks.size(), std::size_t(2));
}

void TestNetworkSelectionWindow::names_with_ampersands_show_as_written()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({host});
    stand_ins.add("gnome-terminal", "#!/bin/sh\ntouch '" + dir.file("launched").toLocal8Bit() + "'\n");
    kt::write_file("networks.data", "R&D|hubs/rd|\nAtelier & Co|hubs/atelier|\n");

    Captured captured;
    NetworkSelectionWindow window(nullptr);
    Browser browser(&window);
    const QList<QPushButton*> buttons = network_buttons(window);
    QCOMPARE(buttons.size(), 2);
    QVERIFY(kt::drawn_as_written(buttons[0], "R&D"));
    QVERIFY(kt::drawn_as_written(buttons[1], "Atelier & Co"));

    // The letter or blank after an "&" is no accelerator.
    QLayout* main_screen = window.layout();
    QVERIFY(kt::press_name_accelerators(window));
    QCOMPARE(window.layout(), main_screen);
    QVERIFY(!QFile::exists(dir.file("launched")));
    QVERIFY(browser.urls.isEmpty());
}

// Under the installed style sheet each button keeps its styled height; the
// wheel and the focus scroll the list, and a long name is elided.
void TestNetworkSelectionWindow::ten_networks_all_readable()
{
    kt::WorkDir dir;
    const QString long_name = "Les Lumieres de Tavoule et tous les ateliers de la vallee reunis pour l'hiver";
    kt::write_file("networks.data", QByteArray("R|r|\n").repeated(9) + long_name.toUtf8() + "|r|\n");
    QFile style(KESTROVA_SOURCE_DIR "/scripts/style.qss");
    qApp->setStyleSheet(style.open(QIODevice::ReadOnly) ? style.readAll() : QByteArray());
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    for (QPushButton* button : network_buttons(window))
        QVERIFY(button->height() >= button->sizeHint().height());
    auto* list = window.findChild<QScrollArea*>();
    QPushButton* last = network_buttons(window).value(9);
    const auto seen = [&] { return list->viewport()->rect().contains(QRect(last->mapTo(list->viewport(), {}), last->size())); };
    QVERIFY(!seen());
    QWheelEvent wheel({5, 5}, {}, {}, {0, -120}, Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(list->viewport(), &wheel);
    QVERIFY(list->verticalScrollBar()->value() > 0);
    last->setFocus();
    QTRY_VERIFY(seen());
    QVERIFY(last->text().endsWith(QChar(0x2026)) && kt::shown_text(last->toolTip()) == long_name);
    qApp->setStyleSheet(QString());
}

QTEST_MAIN(TestNetworkSelectionWindow)
#include "tst_networkselectionwindow.moc"
