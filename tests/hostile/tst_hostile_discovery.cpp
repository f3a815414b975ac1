// Hostile answers of hub servers during the client window's search: one
// search of the loopback /24 (this computer being 127.0.0.2) with a server of
// each kind on an address of its own, then what the window made of each.
#include "clientwindow.h"
#include "widget_lookup.h"
#include "loopback_hubs.h"
#include "network.h"
#include "test_support.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>
#include <map>
#include <memory>

namespace {

// Answers every request with complete headers and then never sends the body
// ("stall"); closes each connection as soon as it is made ("close"); answers
// HEAD with a hub's headers and GET with a body without end: a flood
// ("stream", held to 1 MB/s so that a search that kept it all would still
// end) or a name followed by one blank every 0.1 s ("trickle").
const QByteArray rude_server_script =
    "import socket, sys, threading, time\n"
    "host, mode = sys.argv[1], sys.argv[2]\n"
    "server = socket.socket()\n"
    "server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
    "server.bind((host, 8000))\n"
    "server.listen(16)\n"
    "held = []\n"
    "def endless(client, request):\n"
    "    try:\n"
    "        client.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Type: text/plain\\r\\n\\r\\n')\n"
    "        if request.startswith(b'HEAD'):\n"
    "            return\n"
    "        if mode == 'trickle':\n"
    "            client.sendall(b'Goutte')\n"
    "        while True:\n"
    "            if mode == 'stream':\n"
    "                client.sendall(b'Flot-' * 205)\n"
    "                time.sleep(0.001)\n"
    "            else:\n"
    "                client.sendall(b' ')\n"
    "                time.sleep(0.1)\n"
    "    except OSError:\n"
    "        pass\n"
    "    finally:\n"
    "        client.close()\n"
    "while True:\n"
    "    client, _ = server.accept()\n"
    "    if mode == 'close':\n"
    "        client.close()\n"
    "        continue\n"
    "    request = client.recv(65536)\n"
    "    if mode == 'stall':\n"
    "        client.sendall(b'HTTP/1.1 200 OK\\r\\nContent-Type: text/plain\\r\\nContent-Length: 64\\r\\n\\r\\n')\n"
    "        held.append(client)\n"
    "        continue\n"
    "    threading.Thread(target=endless, args=(client, request), daemon=True).start()\n";

// AddressSanitizer's bookkeeping for each thread of the search (some 20 MB in
// all) would drown the program's own figure.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool address_sanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool address_sanitizer = true;
#else
constexpr bool address_sanitizer = false;
#endif
#else
constexpr bool address_sanitizer = false;
#endif

// A figure of /proc/self/status, in KiB.
qint64 status_kib(const QByteArray& field)
{
    for (const QByteArray& line : kt::read_file("/proc/self/status").split('\n'))
        if (line.startsWith(field + ":"))
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// Makes the current use the process's high-water mark, where the kernel can.
bool reset_peak_memory()
{
    QFile clear_refs("/proc/self/clear_refs");
    return clear_refs.open(QIODevice::WriteOnly) && clear_refs.write("5") == 1;
}

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
        // Only the first 4 KiB of an answer is kept.
        {"1 MiB name", "127.0.0.4", mebibyte_name(), false, true, mebibyte_name().left(4096)},
        {"control characters", "127.0.0.5", "\x01" "Bip\x07\t\x1b[31mRouge\x1b[0m\n\x7f\x08", false, true,
         "\x01" "Bip\x07 \x1b[31mRouge\x1b[0m \x7f\x08"},
        {"*", "127.0.0.6", "*", false, true, "*"},
        {"shell substitutions", "127.0.0.7", "$(cp marker ran) `cp marker ran` ${IFS}$HOME", false, true,
         "$(cp marker ran) `cp marker ran` ${IFS}$HOME"},
        {"not UTF-8", "127.0.0.8", "\xff\xfe  R\xe9seau \xc3", false, true, "\xff\xfe R\xe9seau \xc3"},
        {"headers, then nothing", "127.0.0.9", "stall", true, true, ""},
        {"closes at once", "127.0.0.10", "close", true, false, ""},
        {"plain hub", "127.0.0.11", "T\xc3\xa9moin", false, true, "T\xc3\xa9moin"},
        {"endless name", "127.0.0.12", "stream", true, true, QByteArray("Flot-").repeated(820).left(4096)},
        {"endless trickle of blanks", "127.0.0.13", "trickle", true, true, "Goutte"},
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
    void the_search_holds_in_time_and_memory();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::vector<std::unique_ptr<kt::HubServer>> servers;
    std::vector<std::unique_ptr<QProcess>> rude_servers;
    // What the one search found: per address, its record's name and its button's text.
    std::map<QString, std::pair<QByteArray, QString>> found;
    QStringList addresses;
    QString err;
    qint64 search_ms = 0;
    qint64 peak_growth_kib = -1;
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
    {
        // Fonts and styles load with the first widgets; they are no part of the search.
        QPushButton button("R\xc3\xa9seau");
        QLabel label("<div><b>R\xc3\xa9seau</b></div>");
        button.sizeHint();
        label.sizeHint();
    }
    const bool peak_reset = reset_peak_memory();
    const qint64 resident_kib = status_kib("VmRSS");
    QElapsedTimer search;
    search.start();
    ClientWindow window(nullptr);
    // The window shows at once and searches behind it: wait for the sweep's list.
    std::size_t listed = 0;
    for (const Hub& hub : hubs())
        listed += hub.listed ? 1 : 0;
    QTRY_COMPARE_WITH_TIMEOUT(window.networks.size(), listed, 60000);
    search_ms = search.elapsed();
    if (peak_reset)
        peak_growth_kib = status_kib("VmHWM") - resident_kib;
    const QList<QPushButton*> buttons = kt::network_buttons(window);
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

void TestHostileDiscovery::the_search_holds_in_time_and_memory()
{
    qInfo("search %lld ms, peak memory %+lld KiB", search_ms, peak_growth_kib);
    // No ask outlives its 5 s bound, the endless ones included.
    QVERIFY2(search_ms < 3 * 5000, qPrintable(QString::number(search_ms)));
    if (address_sanitizer)
        QSKIP("peak memory is not the program's own under AddressSanitizer");
    if (peak_growth_kib < 0)
        QSKIP("the kernel keeps no resettable peak of memory");
    QVERIFY2(peak_growth_kib < 8192, qPrintable(QString::number(peak_growth_kib)));
}

QTEST_MAIN(TestHostileDiscovery)
#include "tst_hostile_discovery.moc"
