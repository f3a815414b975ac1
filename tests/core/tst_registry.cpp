#include "hub_utilities.h"
#include "network.h"
#include "test_support.h"

#include <QtTest>

#include <iostream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using Networks = std::vector<Network*>;

namespace {

// Reads networks.data from the current folder, keeping what it printed.
struct Reading
{
    Networks networks;
    std::string out;
    std::string err;
    ~Reading()
    {
        for (Network* network : networks)
            delete network;
    }
    void read()
    {
        kt::StreamCapture capture_out(std::cout);
        kt::StreamCapture capture_err(std::cerr);
        read_hub_networks(&networks);
        out += capture_out.text();
        err += capture_err.text();
    }
};

} // namespace

class TestRegistry : public QObject
{
    Q_OBJECT

private slots:
    void split_line_data();
    void split_line();
    void split_rejects_lines_outside_the_format_data();
    void split_rejects_lines_outside_the_format();
    void record_defaults();

    void reads_records_in_file_order_and_echoes_each_line();
    void empty_file_gives_no_record_and_no_message();
    void missing_or_unreadable_registry_is_reported();
    void last_line_without_line_feed_counts();
    void crlf_reads_like_lf();
    void reading_twice_appends_twice();
    void lines_outside_the_format_are_skipped_with_their_number();
    void odd_bytes_stay_as_read();
};

void TestRegistry::split_line_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("path");

    QTest::newRow("canonical") << QByteArray("Lumieres|hubs/lumieres|") << QByteArray("Lumieres")
                               << QByteArray("hubs/lumieres");
    QTest::newRow("third field ignored") << QByteArray("a|b|c|") << QByteArray("a") << QByteArray("b");
    QTest::newRow("trailing bytes ignored") << QByteArray("a|b|rest") << QByteArray("a") << QByteArray("b");
    QTest::newRow("empty name") << QByteArray("|b|") << QByteArray("") << QByteArray("b");
    QTest::newRow("empty path") << QByteArray("a||") << QByteArray("a") << QByteArray("");
    QTest::newRow("blanks kept") << QByteArray(" a | b |") << QByteArray(" a ") << QByteArray(" b ");
    QTest::newRow("carriage return after last bar") << QByteArray("a|b|\r") << QByteArray("a")
                                                    << QByteArray("b");
    QTest::newRow("utf-8 kept as bytes") << QByteArray("R\xc3\xa9seau|p|") << QByteArray("R\xc3\xa9seau")
                                         << QByteArray("p");
}

void TestRegistry::split_line()
{
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, path);
    std::unique_ptr<Network> network(split_hub_networks_file(line.toStdString()));
    QVERIFY(network);
    QCOMPARE(QByteArray::fromStdString(network->name), name);
    QCOMPARE(QByteArray::fromStdString(network->path), path);
    QVERIFY(network->address.empty());
    QCOMPARE(network->port, 8000);
}

void TestRegistry::split_rejects_lines_outside_the_format_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::newRow("blank line") << QByteArray("");
    QTest::newRow("no bar") << QByteArray("name only");
    QTest::newRow("one field") << QByteArray("name|path");
    QTest::newRow("one bar") << QByteArray("|");
}

void TestRegistry::split_rejects_lines_outside_the_format()
{
    QFETCH(QByteArray, line);
    QVERIFY(!split_hub_networks_file(line.toStdString()));
}

void TestRegistry::record_defaults()
{
    const Network empty;
    QVERIFY(empty.name.empty() && empty.path.empty() && empty.address.empty());
    QCOMPARE(empty.port, 8000);
    const Network found("n", "p", "127.0.0.3:8000");
    QCOMPARE(found.address, std::string("127.0.0.3:8000"));
    QCOMPARE(found.port, 8000);
}

void TestRegistry::reads_records_in_file_order_and_echoes_each_line()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "Un|hubs/un|\nDeux|hubs/deux|\nUn|hubs/autre|\n");
    Reading reading;
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(3));
    QCOMPARE(reading.networks[0]->name, std::string("Un"));
    QCOMPARE(reading.networks[1]->path, std::string("hubs/deux"));
    // Two lines with one name stay two records.
    QCOMPARE(reading.networks[2]->name, std::string("Un"));
    QCOMPARE(reading.networks[2]->path, std::string("hubs/autre"));
    QCOMPARE(reading.out, std::string("Un|hubs/un|\nDeux|hubs/deux|\nUn|hubs/autre|\n"));
    QCOMPARE(reading.err, std::string());
}

void TestRegistry::empty_file_gives_no_record_and_no_message()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "");
    Reading reading;
    reading.read();
    QVERIFY(reading.networks.empty());
    QCOMPARE(reading.out, std::string());
    QCOMPARE(reading.err, std::string());
}

void TestRegistry::missing_or_unreadable_registry_is_reported()
{
    const std::string message = "Impossible d'ouvrir le fichier JSON.\n";
    {
        kt::WorkDir dir;
        Reading reading;
        reading.networks.push_back(new Network("kept", "p", ""));
        reading.read();
        QCOMPARE(reading.err, message);
        QCOMPARE(reading.networks.size(), std::size_t(1));
        QVERIFY(!QFile::exists("networks.data"));
    }
    {
        kt::WorkDir dir;
        QDir().mkdir("networks.data");
        Reading reading;
        reading.read();
        QCOMPARE(reading.err, message);
        QVERIFY(reading.networks.empty());
    }
    if (::geteuid() != 0) {
        kt::WorkDir dir;
        kt::write_file("networks.data", "a|b|\n");
        ::chmod("networks.data", 0);
        Reading reading;
        reading.read();
        QCOMPARE(reading.err, message);
    }
}

void TestRegistry::last_line_without_line_feed_counts()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "a|b|\nc|d|");
    Reading reading;
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(2));
    QCOMPARE(reading.networks[1]->name, std::string("c"));
    QCOMPARE(reading.networks[1]->path, std::string("d"));
}

void TestRegistry::crlf_reads_like_lf()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "a|b|\r\nc|d|\r\n");
    Reading reading;
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(2));
    QCOMPARE(reading.networks[0]->path, std::string("b"));
    QCOMPARE(reading.networks[1]->name, std::string("c"));
    QCOMPARE(reading.networks[1]->path, std::string("d"));
}

void TestRegistry::reading_twice_appends_twice()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "a|b|\nc|d|\n");
    Reading reading;
    reading.read();
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(4));
    QCOMPARE(reading.networks[2]->name, std::string("a"));
    QCOMPARE(reading.networks[3]->name, std::string("c"));
}

void TestRegistry::lines_outside_the_format_are_skipped_with_their_number()
{
    kt::WorkDir dir;
    kt::write_file("networks.data", "a|b|\n\nnothing\nc|d|\none|\n");
    Reading reading;
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(2));
    QCOMPARE(reading.networks[1]->name, std::string("c"));
    const QString err = QString::fromStdString(reading.err);
    QCOMPARE(err.count("ignorée"), 3);
    QVERIFY2(err.contains("Ligne 2 ") && err.contains("Ligne 3 ") && err.contains("Ligne 5 "),
             qPrintable(err));
    // Every line is still echoed, in file order.
    QCOMPARE(reading.out, std::string("a|b|\n\nnothing\nc|d|\none|\n"));
}

void TestRegistry::odd_bytes_stay_as_read()
{
    kt::WorkDir dir;
    QByteArray content("caf\xe9|p\0q|\n", 11);
    kt::write_file("networks.data", content);
    Reading reading;
    reading.read();
    QCOMPARE(reading.networks.size(), std::size_t(1));
    QCOMPARE(reading.networks[0]->name, std::string("caf\xe9"));
    QCOMPARE(reading.networks[0]->path, std::string("p\0q", 3));
}

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
