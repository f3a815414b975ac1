#include "clientwindow.h"
#include "loopback_hubs.h"
#include "network.h"
#include "recording_browser.h"
#include "remembered_hubs.h"
#include "test_support.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

using kt::item_as;
using kt::widget_at;

// The subnet scanned is always the loopback one around this address.
const QString own_address = "127.0.0.2";

// The hub buttons of a selection screen, in layout order.
QList<QPushButton*> hub_buttons(QWidget& window)
{
    return kt::network_buttons(window);
}


// Puts a recorder in front of the real curl, so that the test sees every
// request of the search.
struct Discovery
{
    explicit Discovery(const kt::WorkDir& dir) : log(dir.file("curl.log"))
    {
        stand_ins.add_ifconfig({own_address});
        stand_ins.add("curl", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" + log.toLocal8Bit()
                                  + "'\nexec /usr/bin/curl \"$@\"\n");
    }
    QStringList requests() const
    {
        return QString::fromUtf8(kt::read_file(log)).split('\n', Qt::SkipEmptyParts);
    }
    QString log;
    kt::StandIns stand_ins;
};

struct Captured
{
    kt::StreamCapture out {std::cout};
    kt::StreamCapture err {std::cerr};
};

void check_size(QWidget& window)
{
    QCOMPARE(window.minimumSize(), QSize(600, 400));
    QCOMPARE(window.maximumSize(), QSize(600, 400));
}

void check_searching_screen(ClientWindow& window)
{
    QCOMPARE(window.windowTitle(), QString("Recherche de Reseaux"));
    check_size(window);
    auto* screen = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(screen);
    QCOMPARE(screen->alignment(), Qt::AlignCenter | Qt::AlignTop);
    QCOMPARE(screen->count(), 4);

    QWidget* row = widget_at(screen, 0);
    QVERIFY(qobject_cast<QHBoxLayout*>(row->layout()));
    QCOMPARE(row->layout()->alignment(), Qt::AlignCenter);
    auto* animation = item_as<QLabel>(row->layout(), 0);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("wifi.gif"));
    QCOMPARE(animation->size(), QSize(335, 335));
    QCOMPARE(animation->movie()->scaledSize(), QSize(335, 335));
    QCOMPARE(animation->alignment(), Qt::AlignCenter);

    auto* message = item_as<QLabel>(screen, 1);
    QCOMPARE(message->text(), QString("<div style='font-size:24px;color:blue;margin-bottom:30px;  '> "
                                      "Recherche d'un Reseau disponible ... </div>"));
    QCOMPARE(message->alignment(), Qt::AlignCenter);
    QCOMPARE(item_as<QLabel>(screen, 2)->text(),
             QString("<div style='margin-bottom:10px;'> </div><div style='margin-bottom:20px;'> </div>"));
    QVERIFY(widget_at(screen, 3)->findChild<QLineEdit*>());

    QVERIFY(window.networks.empty());
    QVERIFY(window.servers.empty());
    QVERIFY(window.findChildren<QSignalMapper*>().isEmpty());
}

void check_selection_screen(ClientWindow& window, const QStringList& names)
{
    QCOMPARE(window.windowTitle(), QString("Recherche de Reseaux"));
    check_size(window);
    QVERIFY(window.autoFillBackground());
    const QBrush background = window.palette().brush(QPalette::Active, QPalette::Window);
    QVERIFY(background.gradient());
    QCOMPARE(background.gradient()->stops().size(), 1);
    QCOMPARE(background.gradient()->stops().first().second, QColor("#fefefe"));
    QCOMPARE(window.palette().brush(QPalette::Inactive, QPalette::Window), background);

    auto* screen = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(screen);
    QCOMPARE(screen->alignment(), Qt::AlignTop);
    QCOMPARE(screen->count(), 3);
    QVERIFY(widget_at(screen, 2)->findChild<QLineEdit*>());
    auto* title = item_as<QLabel>(screen, 0);
    QCOMPARE(title->text(),
             QString("<div><span style='font-size:40px;'> Liste des Reseaux disponibles </span></div>"));
    QVERIFY(title->wordWrap());
    QWidget* list = widget_at(screen, 1);
    QVERIFY(qobject_cast<QVBoxLayout*>(list->layout()));
    QCOMPARE(item_as<QLabel>(list->layout(), 0)->text(), QString("<div>Selectionner un Reseau </div>"));

    const QList<QPushButton*> buttons = hub_buttons(window);
    QStringList texts;
    for (QPushButton* button : buttons) {
        texts << button->text();
        QCOMPARE(button->property("class").toString(), QString("net-btn"));
    }
    QCOMPARE(texts, names);

    const QList<QSignalMapper*> mappers = window.findChildren<QSignalMapper*>();
    QCOMPARE(mappers.size(), 1);
    for (int i = 0; i < buttons.size(); ++i)
        QCOMPARE(mappers[0]->mapping(i), buttons[i]);
}

void check_connected_screen(ClientWindow& window, const QString& name, const QString& host)
{
    QCOMPARE(window.windowTitle(), QString("Interface Client"));
    check_size(window);
    auto* screen = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(screen);
    QCOMPARE(screen->alignment(), Qt::AlignTop | Qt::AlignHCenter);
    QCOMPARE(screen->count(), 4);

    QWidget* row = widget_at(screen, 0);
    QCOMPARE(row->layout()->alignment(), Qt::AlignCenter);
    auto* animation = item_as<QLabel>(row->layout(), 0);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("fuseum.gif"));
    QCOMPARE(animation->size(), QSize(130, 130));
    QCOMPARE(animation->movie()->scaledSize(), QSize(130, 130));

    auto* connected = item_as<QLabel>(screen, 1);
    QCOMPARE(connected->text(), QString("Vous etes connecte au reseau"));
    QCOMPARE(connected->alignment(), Qt::AlignCenter);

    QWidget* buttons = widget_at(screen, 2);
    auto* open_space = item_as<QPushButton>(buttons->layout(), 0);
    auto* back = item_as<QPushButton>(buttons->layout(), 1);
    QCOMPARE(open_space->text(), QString("Acceder a mon Espace"));
    QCOMPARE(back->text(), QString("Selection des Reseaux"));

    QCOMPARE(kt::shown_text(item_as<QLabel>(screen, 3)->text()), QString("Reseau : %1 Hote : %2").arg(name, host).simplified());
}

} // namespace

class TestClientWindow : public QObject
{
    Q_OBJECT

private slots:
    void meta_object();
    void the_list_follows_each_sweep();
    void failed_command_counts_as_no_hub();
    void hubs_are_listed_and_open_their_own_address();
    void names_with_ampersands_show_as_written();
    void not_an_address_asks_nobody_data();
    void not_an_address_asks_nobody();
    void a_named_hub_is_cut_at_4_KiB_and_forgotten();
};

void TestClientWindow::meta_object()
{
    const QMetaObject& meta = ClientWindow::staticMetaObject;
    QCOMPARE(meta.className(), "ClientWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 1);
    const QMetaMethod slot = meta.method(meta.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("launch_netw(int)"));
    QCOMPARE(slot.parameterNames(), QList<QByteArray> {"n"});
    QCOMPARE(slot.access(), QMetaMethod::Private);
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
}

void TestClientWindow::the_list_follows_each_sweep()
{
    kt::WorkDir dir;
    Discovery discovery(dir);
    auto early = kt::HubServer::answering(dir.path(), "127.0.0.4", "Tot");
    QVERIFY(early->running());
    Captured captured;
    ClientWindow window(nullptr);

    // The window is there at once; the search runs behind it.
    check_searching_screen(window);
    QStringList expected;
    for (int i = 0; i < 256; ++i)
        expected << "-q --noproxy * --silent --head --connect-timeout 2 --max-time 4.5 http://127.0.0."
                        + QString::number(i) + ":8000/";
    expected.sort();
    const auto heads = [&] {
        QStringList sorted = discovery.requests().filter("--head");
        sorted.sort();
        return sorted;
    };
    // Every host gets one bounded, direct HEAD; only the hub is asked its name.
    QTRY_COMPARE_WITH_TIMEOUT(window.networks.size(), std::size_t(1), 30000);
    QCOMPARE(heads(), expected);
    QCOMPARE(discovery.requests().size(), 257);
    check_selection_screen(window, {"Tot"});

    // Half a minute on, the next sweep: the hub that stopped leaves the list,
    // the one started since gets its button.
    early.reset();
    auto late = kt::HubServer::answering(dir.path(), "127.0.0.8", "Tardif");
    QVERIFY(late->running());
    QTRY_VERIFY_WITH_TIMEOUT(window.networks.size() == 1 && window.networks[0]->name == "Tardif", 45000);
    check_selection_screen(window, {"Tardif"});
    QCOMPARE(captured.err.text(), std::string());
}

void TestClientWindow::failed_command_counts_as_no_hub()
{
    kt::WorkDir dir;
    Discovery discovery(dir);
    Captured captured;
    ClientWindow window(nullptr);
    {
        kt::CommandPipesRefused refused;
        QTRY_COMPARE(captured.err.text(), std::string("La recherche des réseaux a échoué : "
                                                      "Erreur lors de l'exécution de la commande.\n"));
    }
    check_searching_screen(window);
}

void TestClientWindow::hubs_are_listed_and_open_their_own_address()
{
    kt::WorkDir dir;
    auto premier = kt::HubServer::django(dir.path(), "127.0.0.3", "premier");
    auto twin = kt::HubServer::answering(dir.path(), "127.0.0.5", "Jumeau");
    auto other_twin = kt::HubServer::answering(dir.path(), "127.0.0.6", "Jumeau\n");
    auto nameless = kt::HubServer::answering(dir.path(), "127.0.0.7", " \n");
    QVERIFY(premier->running() && twin->running() && other_twin->running() && nameless->running());
    const QStringList names {"premier", "Jumeau", "Jumeau", ""};
    const QStringList addresses {"127.0.0.3:8000", "127.0.0.5:8000", "127.0.0.6:8000", "127.0.0.7:8000"};

    Discovery discovery(dir);
    Captured captured;
    {
        ClientWindow window(nullptr);
        QTRY_VERIFY_WITH_TIMEOUT(!window.networks.empty(), 30000);
        check_selection_screen(window, names);
        QCOMPARE(window.networks.size(), std::size_t(4));
        for (int i = 0; i < 4; ++i) {
            const Network* network = window.networks[static_cast<std::size_t>(i)];
            QCOMPARE(QString::fromStdString(network->name), names[i]);
            QCOMPARE(QString::fromStdString(network->address), addresses[i]);
            QCOMPARE(network->path, std::string());
            QCOMPARE(network->port, 8000);
            QCOMPARE(QString::fromStdString(window.servers[static_cast<std::size_t>(i)]), addresses[i]);
        }
        QCOMPARE(QString::fromStdString(captured.out.text()), QString("premierJumeauJumeau"));

        // The third button, the second of two with the same name.
        kt::Browser browser(&window);
        QLayout* selection = window.layout();
        QTest::mouseClick(hub_buttons(window).value(2), Qt::LeftButton);
        QCOMPARE(browser.urls, QStringList {"http://127.0.0.6:8000"});
        QCOMPARE(browser.titles, QStringList {"Recherche de Reseaux"});
        QCOMPARE(browser.screens, QList<QLayout*> {selection});
        check_connected_screen(window, "Jumeau", "127.0.0.6");
        // Opened from the list, it is remembered for the member's next start.
        QString told;
        const std::vector<RememberedHub> remembered = remembered_hubs(&told);
        QVERIFY(remembered.size() == 1 && remembered[0].host == "127.0.0.6" && remembered[0].name == "Jumeau");

        window.remove_layouts(nullptr);
        QVERIFY(!window.layout());
        QCOMPARE(window.findChildren<QSignalMapper*>().size(), 1);
        QCOMPARE(window.networks.size(), std::size_t(4));
    }
    {
        ClientWindow window(nullptr);
        // The hub opened before answers first, as remembered; the sweep brings the rest.
        QTRY_COMPARE_WITH_TIMEOUT(window.networks.size(), std::size_t(4), 30000);
        kt::Browser browser(&window);
        QTest::mouseClick(hub_buttons(window).value(3), Qt::LeftButton);
        QCOMPARE(browser.urls, QStringList {"http://127.0.0.7:8000"});
        check_connected_screen(window, "", "127.0.0.7");
    }
    {
        ClientWindow window(nullptr);
        // The hub opened before answers first, as remembered; the sweep brings the rest.
        QTRY_COMPARE_WITH_TIMEOUT(window.networks.size(), std::size_t(4), 30000);
        kt::Browser browser(&window);
        QTest::mouseClick(hub_buttons(window).value(0), Qt::LeftButton);
        QCOMPARE(browser.urls, QStringList {"http://127.0.0.3:8000"});
        // The address handed to the browser is the real hub's space.
        const QByteArray head = kt::http("HEAD", browser.urls.value(0) + "/");
        QVERIFY2(head.startsWith("HTTP/1.1 200 OK"), head.constData());
    }
    QCOMPARE(captured.err.text(), std::string());
}

void TestClientWindow::names_with_ampersands_show_as_written()
{
    kt::WorkDir dir;
    auto research = kt::HubServer::answering(dir.path(), "127.0.0.3", "R&D");
    auto workshop = kt::HubServer::answering(dir.path(), "127.0.0.4", "Atelier & Co");
    QVERIFY(research->running() && workshop->running());
    Discovery discovery(dir);
    Captured captured;
    ClientWindow window(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(!window.networks.empty(), 30000);
    kt::Browser browser(&window);
    const QList<QPushButton*> buttons = hub_buttons(window);
    QCOMPARE(buttons.size(), 2);
    QVERIFY(kt::drawn_as_written(buttons[0], "R&D"));
    QVERIFY(kt::drawn_as_written(buttons[1], "Atelier & Co"));

    // The letter or blank after an "&" is no accelerator.
    QLayout* selection = window.layout();
    QVERIFY(kt::press_name_accelerators(window));
    QCOMPARE(window.layout(), selection);
    QVERIFY(browser.urls.isEmpty());
}

void TestClientWindow::not_an_address_asks_nobody_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("told");
    const QString refused = "Ce n'est pas une adresse : ";
    QTest::newRow("inner space") << "127.0.1.8 :8000" << refused + "elle contient des espaces.";
    QTest::newRow("shell characters") << "127.0.1.8;reboot" << refused + "le caractère « ; » n'est pas permis dans un nom d'hôte.";
    QTest::newRow("command substitution") << "$(reboot)" << refused + "le caractère « $ » n'est pas permis dans un nom d'hôte.";
    QTest::newRow("port out of range") << "127.0.1.8:65536" << refused + "le port doit être un nombre de 1 à 65535.";
    QTest::newRow("number out of range") << "http://127.0.1.256/" << refused + "« 127.0.1.256 » n'est pas une adresse IPv4 (quatre nombres de 0 à 255).";
    QTest::newRow("4 KiB of text") << QString(4096, '8') << refused + "le texte est trop long.";
    QTest::newRow("another scheme") << "ftp://127.0.1.8:8000/" << refused + "seules les adresses en http:// mènent à un hub.";
    QTest::newRow("blanks only") << " \t " << "Saisissez l'adresse d'un hub.";
}

void TestClientWindow::not_an_address_asks_nobody()
{
    QFETCH(QString, text);
    QFETCH(QString, told);
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({});
    kt::Listener listener("127.0.1.8", 8000);
    QVERIFY(listener.listening());
    Captured captured;
    ClientWindow window(nullptr);
    auto* edit = window.findChild<QLineEdit*>();
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(QString::fromStdString(captured.err.text()), told + "\n");
    const QList<QLabel*> labels = window.findChildren<QLabel*>();
    QVERIFY(std::any_of(labels.begin(), labels.end(), [&](QLabel* label) { return label->text() == told; }));
    QTest::qWait(300);
    QVERIFY(!listener.reached());
}

void TestClientWindow::a_named_hub_is_cut_at_4_KiB_and_forgotten()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({});
    // Answers every GET with a hub's headers, then a body without end.
    kt::write_file("flood.py", "import socket, threading\n"
                               "server = socket.socket()\n"
                               "server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                               "server.bind(('127.0.1.9', 8000))\n"
                               "server.listen(4)\n"
                               "def flood(client):\n"
                               "    try:\n"
                               "        client.recv(65536)\n"
                               "        client.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n')\n"
                               "        while True:\n"
                               "            client.sendall(b'Flot-' * 4096)\n"
                               "    except OSError:\n"
                               "        client.close()\n"
                               "while True:\n"
                               "    threading.Thread(target=flood, args=(server.accept()[0],), daemon=True).start()\n");
    QProcess flood;
    flood.start("/usr/bin/python3", {"flood.py"});
    QVERIFY(kt::wait_for_port("127.0.1.9", 8000, 10000));
    Captured captured;
    ClientWindow window(nullptr);
    auto* edit = window.findChild<QLineEdit*>();
    edit->setText("127.0.1.9");
    QTest::keyClick(edit, Qt::Key_Return);
    // Cut at 4 KiB, long before the deadline of the whole answer would end it.
    QTRY_COMPARE_WITH_TIMEOUT(window.networks.size(), std::size_t(1), 3000);
    QCOMPARE(QByteArray::fromStdString(window.networks[0]->name), QByteArray("Flot-").repeated(820).left(4096));
    QString told;
    QCOMPARE(remembered_hubs(&told).size(), std::size_t(1));

    hub_buttons(window).value(0)->actions().value(0)->trigger();
    QVERIFY(window.networks.empty());
    QCOMPARE(remembered_hubs(&told).size(), std::size_t(0));
    flood.kill();
    flood.waitForFinished();

    for (int i = 0; i <= 32; ++i)
        QCOMPARE(remember_hub({"127.0.2." + std::to_string(i), 8000, "n"}), QString());
    const std::vector<RememberedHub> kept = remembered_hubs(&told);
    QCOMPARE(kept.size(), std::size_t(32));
    QCOMPARE(kept.front().host, std::string("127.0.2.1"));
    QCOMPARE(told + QString::fromStdString(captured.err.text()), QString());
}

QTEST_MAIN(TestClientWindow)
#include "tst_clientwindow.moc"
