#include "discovery_commands.h"
#include "hub_address.h"
#include "hub_utilities.h"
#include "loopback_hubs.h"
#include "test_support.h"

#include <QtTest>

#include <iostream>
#include <memory>

#include <sys/resource.h>

namespace {

// The subnet scanned is always the loopback one around this address.
const QString own_address = "127.0.0.2";

QStringList qt_list(const std::vector<std::string>& list)
{
    QStringList result;
    for (const std::string& entry : list)
        result << QString::fromStdString(entry);
    return result;
}

QStringList loopback_subnet()
{
    QStringList hosts;
    for (int i = 0; i < 256; ++i)
        hosts << "127.0.0." + QString::number(i);
    return hosts;
}

// Variables set or removed for the object's life, then put back as they were.
class Environment
{
public:
    ~Environment()
    {
        for (auto it = saved.crbegin(); it != saved.crend(); ++it) {
            if (it->second.isNull())
                qunsetenv(it->first.constData());
            else
                qputenv(it->first.constData(), it->second);
        }
    }
    void set(const QByteArray& name, const QByteArray& value)
    {
        keep(name);
        qputenv(name.constData(), value);
    }
    void remove(const QByteArray& name)
    {
        keep(name);
        qunsetenv(name.constData());
    }

private:
    void keep(const QByteArray& name)
    {
        saved.emplace_back(name, qEnvironmentVariableIsSet(name.constData()) ? qgetenv(name.constData())
                                                                              : QByteArray());
    }
    std::vector<std::pair<QByteArray, QByteArray>> saved;
};

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void command_texts_data();
    void command_texts();
    void addresses_reach_the_shell_as_one_argument_data();
    void addresses_reach_the_shell_as_one_argument();
    void scan_widths_data();
    void scan_widths();
    void hub_addresses_data();
    void hub_addresses();
    void scanned_hosts_data();
    void scanned_hosts();
    void hub_answers_data();
    void hub_answers();
    void folding_data();
    void folding();

    void scan_reports_every_host_of_the_subnet();
    void no_address_no_scan();
    void finds_hubs_in_address_order_with_folded_names();
    void silent_servers_give_empty_names();
    void asks_go_straight_to_the_hosts();
    void stalling_hosts_cost_about_one_ask_bound();
    void few_descriptors_still_find_every_hub();
};

void TestDiscovery::command_texts_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<QString>("scan");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain")
        << "127.0.0.2" << "nmap -sn -n 127.0.0.2/24"
        << "curl -q --noproxy '*' --silent --head --connect-timeout 2 --max-time 4.5 http://127.0.0.2:8000/"
        << "curl -q --noproxy '*' --silent --connect-timeout 2 --max-time 4.5 http://127.0.0.2/_infos/kl/";
    QTest::newRow("shell text")
        << "1.2.3.4;rm -f x" << "nmap -sn -n '1.2.3.4;rm -f x/24'"
        << "curl -q --noproxy '*' --silent --head --connect-timeout 2 --max-time 4.5 'http://1.2.3.4;rm -f x:8000/'"
        << "curl -q --noproxy '*' --silent --connect-timeout 2 --max-time 4.5 'http://1.2.3.4;rm -f x/_infos/kl/'";
    QTest::newRow("quote")
        << "a'b" << "nmap -sn -n 'a'\\''b/24'"
        << "curl -q --noproxy '*' --silent --head --connect-timeout 2 --max-time 4.5 'http://a'\\''b:8000/'"
        << "curl -q --noproxy '*' --silent --connect-timeout 2 --max-time 4.5 'http://a'\\''b/_infos/kl/'";
}

void TestDiscovery::command_texts()
{
    QFETCH(QString, address);
    QFETCH(QString, scan);
    QFETCH(QString, probe);
    QFETCH(QString, name);
    QCOMPARE(QString::fromStdString(scan_command(address.toStdString())), scan);
    QCOMPARE(QString::fromStdString(probe_command(address.toStdString())), probe);
    QCOMPARE(QString::fromStdString(name_command(address.toStdString())), name);
}

void TestDiscovery::addresses_reach_the_shell_as_one_argument_data()
{
    QTest::addColumn<QString>("address");
    QTest::newRow("command substitution") << "$(touch marker)";
    QTest::newRow("backquotes") << "`touch marker`";
    QTest::newRow("semicolon") << "127.0.0.9; touch marker";
    QTest::newRow("glob") << "*";
    QTest::newRow("quote") << "127.0.0.9' && touch marker '";
}

void TestDiscovery::addresses_reach_the_shell_as_one_argument()
{
    QFETCH(QString, address);
    // These addresses cannot name a host: a recorder stands in for curl so
    // that nothing is looked up, and the real shell runs the command.
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add("curl", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + dir.file("curl.args").toLocal8Bit() + "'\n");
    exec_cmd(probe_command(address.toStdString()));
    exec_cmd(name_command(address.toStdString() + ":8000"));
    QVERIFY(!QFile::exists(dir.file("marker")));
    const QStringList arguments = QString::fromUtf8(kt::read_file(dir.file("curl.args"))).split('\n');
    QCOMPARE(arguments.value(9), "http://" + address + ":8000/");
    QCOMPARE(arguments.value(18), "http://" + address + ":8000/_infos/kl/");
}

void TestDiscovery::scan_widths_data()
{
    QTest::addColumn<QString>("mask_line");
    QTest::addColumn<QString>("scan");
    QTest::addColumn<bool>("narrowed");
    QTest::newRow("/24 as today") << "netmask 255.255.255.0" << "nmap -sn -n 127.0.0.2/24" << false;
    QTest::newRow("/23") << "netmask 255.255.254.0" << "nmap -sn -n 127.0.0.2/23" << false;
    QTest::newRow("/22") << "netmask 255.255.252.0" << "nmap -sn -n 127.0.0.2/22" << false;
    QTest::newRow("/17: the /22 around") << "netmask 255.255.128.0" << "nmap -sn -n 127.0.0.2/22" << true;
    QTest::newRow("/25: its /24") << "netmask 255.255.255.128" << "nmap -sn -n 127.0.0.2/24" << false;
    QTest::newRow("holes in the mask") << "netmask 255.0.255.0" << "nmap -sn -n 127.0.0.2/24" << false;
    QTest::newRow("old ifconfig") << "Bcast:127.0.0.255 Mask:255.255.254.0" << "nmap -sn -n 127.0.0.2/24" << false;
    QTest::newRow("nothing") << QString() << "nmap -sn -n 127.0.0.2/24" << false;
}

void TestDiscovery::scan_widths()
{
    QFETCH(QString, mask_line);
    QFETCH(QString, scan);
    QFETCH(bool, narrowed);
    bool was_narrowed = !narrowed;
    const int prefix = scan_prefix(mask_line.toStdString(), &was_narrowed);
    QCOMPARE(QString::fromStdString(scan_command("127.0.0.2", prefix)), scan);
    QCOMPARE(was_narrowed, narrowed);
}

void TestDiscovery::hub_addresses_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address");
    QTest::newRow("IPv4") << "127.0.1.5" << "127.0.1.5:8000";
    QTest::newRow("pasted link") << " http://127.0.1.6:8000/\n" << "127.0.1.6:8000";
    QTest::newRow("name, port, path") << "HTTP://hub-1.lycee.local:8123/a/b?c#d" << "hub-1.lycee.local:8123";
    QTest::newRow("IPv6 with port") << "http://[::1]:8001/" << "[::1]:8001";
    QTest::newRow("bare IPv6") << "fe80::1" << "[fe80::1]:8000";
    QTest::newRow("port 0") << "127.0.1.5:0" << "";
    QTest::newRow("no port after colon") << "127.0.1.5:" << "";
    QTest::newRow("three numbers") << "127.0.1" << "";
    QTest::newRow("label with a leading hyphen") << "-hub.local" << "";
    QTest::newRow("empty label") << "hub..local" << "";
    QTest::newRow("IPv6 unclosed") << "[::1:8000" << "";
    QTest::newRow("underscore") << "hub_1" << "";
    QTest::newRow("accented name") << "r\u00e9seau.local" << "";
    QTest::newRow("user in the link") << "http://moi@127.0.1.5/" << "";
}

void TestDiscovery::hub_addresses()
{
    QFETCH(QString, text);
    QFETCH(QString, address);
    HubAddress read;
    const std::string fault = read_hub_address(text.toStdString(), &read);
    QCOMPARE(QString::fromStdString(fault.empty() ? hub_address_text(read) : std::string()), address);
    QCOMPARE(fault.empty(), !address.isEmpty());
}

void TestDiscovery::scanned_hosts_data()
{
    QTest::addColumn<QString>("listing");
    QTest::addColumn<QStringList>("hosts");
    const QString header = "Starting Nmap 7.93 ( https://nmap.org ) at 2026-01-01 10:00 UTC\n";
    const QString footer = "Nmap done: 256 IP addresses (3 hosts up) scanned in 0.01 seconds\n";
    QTest::newRow("addresses alone")
        << header + "Nmap scan report for 192.168.1.1\nHost is up (0.0010s latency).\n"
                    "Nmap scan report for 192.168.1.7\nHost is up.\n" + footer
        << QStringList {"192.168.1.1", "192.168.1.7"};
    QTest::newRow("named and unnamed")
        << header + "Nmap scan report for box.lan (192.168.1.1)\nHost is up.\n"
                    "Nmap scan report for 192.168.1.5\nHost is up.\n"
                    "Nmap scan report for printer (192.168.1.9)\nHost is up.\n" + footer
        << QStringList {"192.168.1.1", "192.168.1.5", "192.168.1.9"};
    QTest::newRow("no host") << header + "Nmap done: 256 IP addresses (0 hosts up) scanned in 2 seconds\n"
                             << QStringList {};
    QTest::newRow("nothing") << QString() << QStringList {};
    QTest::newRow("only report lines count")
        << "Host is up, see report for 10.0.0.1\nMAC Address: 00:11:22:33:44:55 (report)\n"
           "Nmap scan report for 10.0.0.2"
        << QStringList {"10.0.0.2"};
}

void TestDiscovery::scanned_hosts()
{
    QFETCH(QString, listing);
    QFETCH(QStringList, hosts);
    QCOMPARE(qt_list(::scanned_hosts(listing.toStdString())), hosts);
}

void TestDiscovery::hub_answers_data()
{
    QTest::addColumn<QString>("answer");
    QTest::addColumn<bool>("hub");
    QTest::newRow("django") << "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n" << true;
    QTest::newRow("http 1.0") << "HTTP/1.0 200 OK\r\nServer: x\r\n" << true;
    QTest::newRow("not found") << "HTTP/1.1 404 Not Found\r\n\r\n" << false;
    QTest::newRow("redirection") << "HTTP/1.1 302 Found\r\nLocation: /\r\n\r\n" << false;
    QTest::newRow("no reason phrase") << "HTTP/2 200\r\n\r\n" << false;
    QTest::newRow("no answer") << QString() << false;
}

void TestDiscovery::hub_answers()
{
    QFETCH(QString, answer);
    QFETCH(bool, hub);
    QCOMPARE(is_hub_answer(answer.toStdString()), hub);
}

void TestDiscovery::folding_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QByteArray>("name");
    QTest::newRow("one word") << QByteArray("quartier") << QByteArray("quartier");
    QTest::newRow("several lines") << QByteArray("Les\nLumieres\n\nde Tavoule\n")
                                   << QByteArray("Les Lumieres de Tavoule");
    QTest::newRow("runs of blanks and tabs") << QByteArray("  a \t\t b   c\t") << QByteArray("a b c");
    QTest::newRow("glob characters stay") << QByteArray("* ? [a-z]*") << QByteArray("* ? [a-z]*");
    QTest::newRow("shell text stays") << QByteArray("$HOME `x` $(y) \\n") << QByteArray("$HOME `x` $(y) \\n");
    QTest::newRow("option-like") << QByteArray("-n -e") << QByteArray("-n -e");
    QTest::newRow("carriage return is no blank") << QByteArray("a\r\nb") << QByteArray("a\r b");
    QTest::newRow("utf-8") << QByteArray("R\xc3\xa9seau\n du\tquartier") << QByteArray("R\xc3\xa9seau du quartier");
    QTest::newRow("blanks only") << QByteArray(" \n\t ") << QByteArray();
    QTest::newRow("empty") << QByteArray() << QByteArray();
}

void TestDiscovery::folding()
{
    QFETCH(QByteArray, answer);
    QFETCH(QByteArray, name);
    QCOMPARE(QByteArray::fromStdString(fold_blanks(answer.toStdString())), name);
}

void TestDiscovery::scan_reports_every_host_of_the_subnet()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({own_address});
    // Every loopback host answers the ping scan, named or not.
    QCOMPARE(qt_list(fetch_networks()), loopback_subnet());
}

void TestDiscovery::no_address_no_scan()
{
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({});
    QCOMPARE(qt_list(fetch_networks()), QStringList());
    QCOMPARE(qt_list(find_servers()), QStringList());
}

void TestDiscovery::finds_hubs_in_address_order_with_folded_names()
{
    kt::WorkDir dir;
    // Files for an unquoted "*" to expand to.
    kt::write_file("networks.data", "a|b|\n");
    auto premier = kt::HubServer::django(dir.path(), "127.0.0.3", "premier");
    auto not_a_hub = kt::HubServer::answering(dir.path(), "127.0.0.4", "Pas un hub", 404);
    auto spread = kt::HubServer::answering(dir.path(), "127.0.0.5", "\n  Les   Lumieres\n\tde\n\nTavoule \n");
    auto star = kt::HubServer::answering(dir.path(), "127.0.0.6", "*");
    kt::Listener silent("127.0.0.7", 8000);
    QVERIFY(premier->running() && not_a_hub->running() && spread->running() && star->running());
    QVERIFY(silent.listening());

    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({own_address});
    kt::StreamCapture out(std::cout);
    const std::vector<std::string> servers = find_servers();
    const std::vector<std::string> names = find_servers_names(servers);

    QCOMPARE(qt_list(servers), QStringList({"127.0.0.3:8000", "127.0.0.5:8000", "127.0.0.6:8000"}));
    QCOMPARE(qt_list(names), QStringList({"premier", "Les Lumieres de Tavoule", "*"}));
    QCOMPARE(QString::fromStdString(out.text()), QString("premierLes Lumieres de Tavoule*"));
}

void TestDiscovery::silent_servers_give_empty_names()
{
    kt::WorkDir dir;
    // Forty that never answer, and between them one where nothing listens:
    // one entry each, in order, their waits overlapping.
    std::vector<std::unique_ptr<kt::Listener>> silent;
    std::vector<std::string> addresses;
    for (int host = 10; host < 50; ++host) {
        silent.push_back(std::make_unique<kt::Listener>("127.0.0." + QString::number(host), 8000));
        QVERIFY(silent.back()->listening());
        addresses.push_back("127.0.0." + std::to_string(host) + ":8000");
    }
    addresses.insert(addresses.begin() + 20, "127.0.0.9:8000");
    kt::StreamCapture out(std::cout);
    QElapsedTimer asking;
    asking.start();
    const std::vector<std::string> names = find_servers_names(addresses);
    QVERIFY2(asking.elapsed() < 2 * 5000, qPrintable(QString("asked in %1 ms").arg(asking.elapsed())));
    QStringList empty_names;
    while (empty_names.size() < 41)
        empty_names << QString();
    QCOMPARE(qt_list(names), empty_names);
    QCOMPARE(out.text(), std::string());
}

void TestDiscovery::asks_go_straight_to_the_hosts()
{
    kt::WorkDir dir;
    auto premier = kt::HubServer::answering(dir.path(), "127.0.0.3", "premier");
    auto second = kt::HubServer::answering(dir.path(), "127.0.0.5", "second");
    QVERIFY(premier->running() && second->running());
    // Off the scanned port, so that only a proxied ask can reach it.
    kt::Listener proxy("127.0.0.1", 0);
    QVERIFY(proxy.listening());
    const QByteArray proxy_url = "http://127.0.0.1:" + QByteArray::number(proxy.port());

    Environment environment;
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        environment.set(name, proxy_url);
    for (const char* name : {"no_proxy", "NO_PROXY", "CURL_HOME", "XDG_CONFIG_HOME"})
        environment.remove(name);
    // A keeper's configuration: a proxy, and answers shown with their headers.
    const QString home = dir.file("home");
    QVERIFY(QDir().mkpath(home));
    kt::write_file(home + "/.curlrc", "proxy = \"" + proxy_url + "\"\ninclude\n");
    environment.set("HOME", home.toLocal8Bit());

    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({own_address});
    kt::StreamCapture out(std::cout);
    const std::vector<std::string> servers = find_servers();
    const std::vector<std::string> names = find_servers_names(servers);
    QCOMPARE(qt_list(servers), QStringList({"127.0.0.3:8000", "127.0.0.5:8000"}));
    QCOMPARE(qt_list(names), QStringList({"premier", "second"}));
    QVERIFY(!proxy.reached());
}

void TestDiscovery::stalling_hosts_cost_about_one_ask_bound()
{
    kt::WorkDir dir;
    auto premier = kt::HubServer::django(dir.path(), "127.0.0.3", "premier");
    auto second = kt::HubServer::django(dir.path(), "127.0.0.5", "second");
    QVERIFY(premier->running() && second->running());
    // Forty hosts around and between the hubs that take a connection and
    // never answer, as a firewalled computer or a sleeping phone may.
    std::vector<std::unique_ptr<kt::Listener>> stalling;
    for (int host = 4; stalling.size() < 40; ++host) {
        if (host == 5)
            continue;
        stalling.push_back(std::make_unique<kt::Listener>("127.0.0." + QString::number(host), 8000));
        QVERIFY(stalling.back()->listening());
    }

    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({own_address});
    kt::StreamCapture out(std::cout);
    QElapsedTimer search;
    search.start();
    const std::vector<std::string> servers = find_servers();
    const std::vector<std::string> names = find_servers_names(servers);
    const qint64 elapsed = search.elapsed();
    QCOMPARE(qt_list(servers), QStringList({"127.0.0.3:8000", "127.0.0.5:8000"}));
    QCOMPARE(qt_list(names), QStringList({"premier", "second"}));
    QCOMPARE(out.text(), std::string("premiersecond"));
    // Each ask is bounded by 5 s; the stalls overlap instead of adding up.
    QVERIFY2(elapsed < 2 * 5000, qPrintable(QString("the search took %1 ms").arg(elapsed)));
}


void TestDiscovery::few_descriptors_still_find_every_hub()
{
    kt::WorkDir dir;
    auto premier = kt::HubServer::answering(dir.path(), "127.0.0.3", "premier");
    auto last = kt::HubServer::answering(dir.path(), "127.0.0.250", "dernier");
    QVERIFY(premier->running() && last->running());
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({own_address});
    kt::StreamCapture out(std::cout);
    // Far fewer descriptors than a /24 has hosts, as a session may be given.
    rlimit saved {};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    rlimit few = saved;
    few.rlim_cur = 150;
    ::setrlimit(RLIMIT_NOFILE, &few);
    std::vector<std::string> servers, names;
    QString failure;
    try {
        servers = find_servers();
        names = find_servers_names(servers);
    } catch (const std::exception& error) {
        failure = error.what();
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QCOMPARE(failure, QString());
    QCOMPARE(qt_list(servers), QStringList({"127.0.0.3:8000", "127.0.0.250:8000"}));
    QCOMPARE(qt_list(names), QStringList({"premier", "dernier"}));
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
