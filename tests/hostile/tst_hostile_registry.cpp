// Hostile registries, seen where the keeper sees them: the main screen's
// network buttons, the traces on the standard output and the messages on the
// standard error stream.
#include "hostile_support.h"
#include "widget_lookup.h"
#include "network.h"
#include "networkselectionwindow.h"

#include <QtTest>

#include <iostream>
#include <sys/stat.h>

namespace {

QByteArray repeated(const QByteArray& piece, int times)
{
    QByteArray bytes;
    bytes.reserve(piece.size() * times);
    for (int i = 0; i < times; ++i)
        bytes += piece;
    return bytes;
}

QByteArray numbered_lines(int count)
{
    QByteArray lines;
    for (int i = 1; i <= count; ++i)
        lines += "Reseau " + QByteArray::number(i) + "|hubs/" + QByteArray::number(i) + "|\n";
    return lines;
}

// What the main screen prints: every line as read, then one counter per button.
QByteArray expected_trace(const QByteArray& content, int buttons)
{
    QByteArray trace = content;
    if (!trace.isEmpty() && !trace.endsWith('\n'))
        trace += '\n';
    for (int i = 1; i <= buttons; ++i)
        trace += QByteArray::number(i) + '\n';
    return trace;
}

const QByteArray mebibyte_name = repeated("R\xc3\xa9seau-", 1 << 17);
const QString unreadable_message = "Impossible d'ouvrir le fichier JSON.\n";

} // namespace

class TestHostileRegistry : public QObject
{
    Q_OBJECT

private slots:
    void main_screen_lists_what_it_can_read_data();
    void main_screen_lists_what_it_can_read();
    void registry_that_cannot_be_read_data();
    void registry_that_cannot_be_read();
};

void TestHostileRegistry::main_screen_lists_what_it_can_read_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("buttons");
    QTest::addColumn<QByteArray>("first_name");
    QTest::addColumn<QByteArray>("first_path");
    QTest::addColumn<QByteArray>("last_name");
    QTest::addColumn<QString>("skipped"); // the lines reported as ignored, by number

    QTest::newRow("empty file") << QByteArray() << 0 << QByteArray() << QByteArray() << QByteArray() << "";
    QTest::newRow("only bars") << QByteArray("||||||\n|\n||\n") << 2 << QByteArray() << QByteArray()
                               << QByteArray() << "2";
    QTest::newRow("1 MiB name") << mebibyte_name + "|hubs/grand|\n" << 1 << mebibyte_name
                                << QByteArray("hubs/grand") << mebibyte_name << "";
    QTest::newRow("1 MiB line without bar") << repeated("x", 1 << 20) + "\nSuivant|s|\n" << 1
                                            << QByteArray("Suivant") << QByteArray("s") << QByteArray("Suivant")
                                            << "1";
    QTest::newRow("100,000 lines") << numbered_lines(100000) << 100000 << QByteArray("Reseau 1")
                                   << QByteArray("hubs/1") << QByteArray("Reseau 100000") << "";
    QTest::newRow("NUL bytes") << QByteArray("a\0b|p\0q|\n\0|\0|\n", 14) << 2 << QByteArray("a\0b", 3)
                               << QByteArray("p\0q", 3) << QByteArray("\0", 1) << "";
    QTest::newRow("not UTF-8") << QByteArray("caf\xe9|p|\n\xff\xfe|q|\n\xc3|r|\n\xc0\xaf|s|\n\xed\xa0\x80|t|\n")
                               << 5 << QByteArray("caf\xe9") << QByteArray("p") << QByteArray("\xed\xa0\x80")
                               << "";
    QTest::newRow("CRLF") << QByteArray("a|b|\r\nc|d|\r\n") << 2 << QByteArray("a") << QByteArray("b")
                          << QByteArray("c") << "";
    QTest::newRow("no final line feed") << QByteArray("a|b|\nc|d|") << 2 << QByteArray("a") << QByteArray("b")
                                        << QByteArray("c") << "";
    QTest::newRow("bare carriage returns") << QByteArray("a|b|\rc|d|\r") << 1 << QByteArray("a")
                                           << QByteArray("b") << QByteArray("a") << "";
}

void TestHostileRegistry::main_screen_lists_what_it_can_read()
{
    QFETCH(QByteArray, content);
    QFETCH(int, buttons);
    QFETCH(QByteArray, first_name);
    QFETCH(QByteArray, first_path);
    QFETCH(QByteArray, last_name);
    QFETCH(QString, skipped);
    kt::WorkDir dir;
    kt::write_file("networks.data", content);

    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);

    const QList<QPushButton*> shown = kt::network_buttons(window);
    QCOMPARE(shown.size(), buttons);
    QCOMPARE(window.networks.size(), std::size_t(buttons));
    if (buttons > 0) {
        // The record keeps the bytes; the button shows what Qt decodes of them.
        QCOMPARE(QByteArray::fromStdString(window.networks.front()->name), first_name);
        QCOMPARE(QByteArray::fromStdString(window.networks.front()->path), first_path);
        QCOMPARE(shown.first()->text(), QString::fromUtf8(first_name.constData(), first_name.size()));
        QCOMPARE(shown.last()->text(), QString::fromUtf8(last_name.constData(), last_name.size()));
    }
    // Nothing read is lost from the trace, and nothing is made up.
    QVERIFY(QByteArray::fromStdString(out.text()) == expected_trace(content, buttons));
    QStringList reported;
    for (const QString& line : QString::fromStdString(err.text()).split('\n', Qt::SkipEmptyParts)) {
        QVERIFY2(line.contains(QString::fromUtf8("ignorée : il faut un nom et un chemin")), qPrintable(line));
        reported << line.section(' ', 1, 1);
    }
    QCOMPARE(reported.join(' '), skipped);
    QCOMPARE(kt::read_file("networks.data"), content);

    // Every launch begins by tearing the main screen down, after the event
    // loop has run: however long the list, that must not hold the window.
    QCoreApplication::sendPostedEvents();
    window.clean_screen();
    QVERIFY(!window.layout());
    QCOMPARE(window.findChildren<QSignalMapper*>().size(), 1);
}

void TestHostileRegistry::registry_that_cannot_be_read_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("a folder") << "folder";
    QTest::newRow("no read permission") << "unreadable";
    QTest::newRow("a link to itself") << "loop";
    QTest::newRow("a dangling link") << "dangling";
    QTest::newRow("a named pipe") << "pipe";
    QTest::newRow("a link to /dev/zero") << "device";
}

void TestHostileRegistry::registry_that_cannot_be_read()
{
    QFETCH(QString, kind);
    kt::WorkDir dir;
    if (kind == "folder") {
        QVERIFY(QDir().mkdir("networks.data"));
        kt::write_file("networks.data/a", "a|b|\n");
    } else if (kind == "unreadable") {
        kt::write_file("networks.data", "a|b|\n");
        QCOMPARE(::chmod("networks.data", 0), 0);
    } else if (kind == "loop") {
        QVERIFY(QFile::link("networks.data", "networks.data"));
    } else if (kind == "pipe") {
        QCOMPARE(::mkfifo("networks.data", 0644), 0);
    } else if (kind == "device") {
        QVERIFY(QFile::link("/dev/zero", "networks.data"));
    } else {
        QVERIFY(QFile::link("nowhere/networks.data", "networks.data"));
    }

    kh::FilePermissionsApply permissions;
    QVERIFY(permissions.applies());
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    const kh::Guard guard("reading networks.data");
    NetworkSelectionWindow window(nullptr);

    QVERIFY(kt::network_buttons(window).isEmpty());
    QCOMPARE(QString::fromStdString(err.text()), unreadable_message);
    QCOMPARE(out.text(), std::string());
    // The reader never makes the registry it could not read.
    QVERIFY(!QFileInfo("nowhere").exists());
}

QTEST_MAIN(TestHostileRegistry)
#include "tst_hostile_registry.moc"
