// Hostile answers of hub servers during the client window's search: one
// search of the loopback /24 (this computer being 127.0.0.2) with a server of
// each kind on an address of its own, then what the window made of each.
#include "clientwindow.h"
#include "hostile_widgets.h"
#include "loopback_hubs.h"
#include "network.h"
#include "test_support.h"

#include <QtTest>

#include <iostream>
#include <map>
#include <memory>

namespace {

// Answers every request with complete headers and then never sends the body
// ("stall"), or closes each connection as soon as it is made ("close").
const QByteArray rude_server_script =
    "import socket, sys\n"
    "host, mode = sys.argv[1], sys.argv[2]\n"
    "server = socket.socket()\n"
    "server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
    "server.bind((host, 8000))\n"
    "server.listen(16)\n"
    "held = []\n"
    "while True:\n"
    "    client, _ = server.accept()\n"
    "    if mode == 'close':\n"
    "        client.close()\n"
    "        continue\n"
    "    client.recv(65536)\n"
    "    client.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Type: text/plain\\r\\nContent-Length: 64\\r\\n\\r\\n')\n"
    "    held.append(client)\n";

QByteArray mebibyte_name()
{
    QByteArray name;
    while (name.size() < (1 << 20))
        name += "R\xc3\xa9seau-";
    return name;
}

struct Hub
{
    const char* row;
    QString host;
    QByteArray answer; // the name it answers, or the rude server's mode
    bool rude;
    bool listed;
    QByteArray name; // what the window keeps of it
};

const QList<Hub>& hubs()
{
    static const QList<Hub> all {
        {"HTML in the name", "127.0.0.3", "<b>Gras</b><script>alert(1)</script><img src=x>", false, true,
         "<b>Gras</b><script>alert(1)</script><img src=x>"},
        {"1 MiB name", "127.0.0.4", mebibyte_name(), false, true, mebibyte_name()},
        {"control characters", "127.0.0.5", "\x01" "Bip\x07\t\x1b[31mRouge\x1b[0m\n\x7f\x08", false, true,
         "\x01" "Bip\x07 \x1b[31mRouge\x1b[0m \x7f\x08"},
        {"*", "127.0.0.6", "*", false, true, "*"},
        {"shell substitutions", "127.0.0.7", "$(cp marker ran) `cp marker ran` ${IFS}$HOME", false, true,
         "$(cp marker ran) `cp marker ran` ${IFS}$HOME"},
        {"not UTF-8", "127.0.0.8", "\xff\xfe  R\xe9seau \xc3", false, true, "\xff\xfe R\xe9seau \xc3"},
        {"headers, then nothing", "127.0.0.9", "stall", true, true, ""},
        {"closes at once", "127.0.0.10", "close", true, false, ""},
        {"plain hub", "127.0.0.11", "T\xc3\xa9moin", false, true, "T\xc3\xa9moin"},
    };
    return all;
}

} // namespace

class TestHostileDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void every_server_is_listed_or_left_out_in_address_order();
    void each_name_is_kept_as_answered_data();
    void each_name_is_kept_as_answered();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::vector<std::unique_ptr<kt::HubServer>> servers;
    std::vector<std::unique_ptr<QProcess>> rude_servers;
    // What the one search found: per address, its record's name and its button's text.
    std::map<QString, std::pair<QByteArray, QString>> found;
    QStringList addresses;
    QString err;
};

void TestHostileDiscovery::initTestCase()
{
    dir = std::make_unique<kt::WorkDir>();
    kt::write_file("marker", "copied only if a name was run as a command\n");
    kt::write_file("rude_server.py", rude_server_script);
    for (const Hub& hub : hubs()) {
        if (!hub.rude) {
            servers.push_back(kt::HubServer::answering(dir->path(), hub.host, hub.answer));
            QVERIFY2(servers.back()->running(), qPrintable(hub.host));
            continue;
        }
        rude_servers.push_back(std::make_unique<QProcess>());
        rude_servers.back()->start("/usr/bin/python3", {"rude_server.py", hub.host, QString(hub.answer)});
        QVERIFY(rude_servers.back()->waitForStarted());
        QVERIFY2(kt::wait_for_port(hub.host, 8000, 10000), qPrintable(hub.host));
    }

    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({"127.0.0.2"});
    kt::StreamCapture out(std::cout);
    kt::StreamCapture capture_err(std::cerr);
    ClientWindow window(nullptr);
    const QList<QPushButton*> buttons = kh::network_buttons(window);
    QCOMPARE(std::size_t(buttons.size()), window.networks.size());
    for (std::size_t i = 0; i < window.networks.size(); ++i) {
        const QString address = QString::fromStdString(window.networks[i]->address);
        addresses << address;
        found[address] = {QByteArray::fromStdString(window.networks[i]->name), buttons[int(i)]->text()};
    }
    err = QString::fromStdString(capture_err.text());
}

void TestHostileDiscovery::cleanupTestCase()
{
    for (auto& server : rude_servers) {
        server->kill();
        server->waitForFinished();
    }
    rude_servers.clear();
    servers.clear();
    dir.reset();
}

void TestHostileDiscovery::every_server_is_listed_or_left_out_in_address_order()
{
    QStringList expected;
    for (const Hub& hub : hubs())
        if (hub.listed)
            expected << hub.host + ":8000";
    QCOMPARE(addresses, expected);
    QCOMPARE(err, QString());
    // Nothing any server answered was run.
    QVERIFY(!QFile::exists(dir->file("ran")));
}

void TestHostileDiscovery::each_name_is_kept_as_answered_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QByteArray>("name");
    for (const Hub& hub : hubs())
        if (hub.listed)
            QTest::newRow(hub.row) << hub.host + ":8000" << hub.name;
}

void TestHostileDiscovery::each_name_is_kept_as_answered()
{
    QFETCH(QString, address);
    QFETCH(QByteArray, name);
    QVERIFY2(found.count(address), qPrintable(addresses.join(' ')));
    // The record keeps the folded bytes; the button shows them as plain text.
    QVERIFY(found[address].first == name);
    QVERIFY(found[address].second == QString::fromUtf8(name.constData(), name.size()));
}

QTEST_MAIN(TestHostileDiscovery)
#include "tst_hostile_discovery.moc"
