// Hostile start-up files: the style sheet and the images that the start-up
// sequence loads, run whole in this process; in the Windows build also a
// registry that changes between two main screens.
#include "hostile_support.h"
#include "widget_lookup.h"
#include "test_paths.h"
#include "test_support.h"
#include "whole_program.h"
#ifdef KESTROVA_WINDOWS_BUILD
#include "network.h"
#include "networkselectionwindow.h"
#include "press.h"
#include "../core/tst_win_support.h"
#endif

#include <QtTest>
#include <QtWidgets>

#include <iostream>
#include <memory>
#include <sys/stat.h>

namespace {

#ifdef KESTROVA_WINDOWS_BUILD
const QStringList startup_images {"velmor_logo.ico", "img/velmor_logo.ico", "img/people.jpeg"};
#else
const QStringList startup_images {"img/velmor_logo.svg", "img/people.jpeg"};
#endif

quint32 crc32(const QByteArray& bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= static_cast<quint8>(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray png_chunk(const QByteArray& type, const QByteArray& data)
{
    QByteArray chunk;
    QDataStream(&chunk, QIODevice::WriteOnly) << quint32(data.size());
    QByteArray crc;
    QDataStream(&crc, QIODevice::WriteOnly) << crc32(type + data);
    return chunk + type + data + crc;
}

// A well-formed PNG that claims 65535 x 65535 pixels of RGBA: 16 GiB once decoded.
QByteArray oversized_png()
{
    QByteArray header;
    QDataStream(&header, QIODevice::WriteOnly) << quint32(65535) << quint32(65535) << quint8(8) << quint8(6)
                                               << quint8(0) << quint8(0) << quint8(0);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + png_chunk("IHDR", header)
        + png_chunk("IDAT", qCompress(QByteArray(1, '\0')).mid(4)) + png_chunk("IEND", QByteArray());
}

QByteArray repeated_rules(int count)
{
    QByteArray rules;
    for (int i = 0; i < count; ++i)
        rules += "QLabel[class=\"r" + QByteArray::number(i) + "\"] { color: #123456; }\n";
    return rules;
}

QByteArray every_byte_but_nul(int times)
{
    QByteArray bytes;
    for (int t = 0; t < times; ++t)
        for (int b = 1; b < 256; ++b)
            bytes += char(b);
    return bytes;
}

// What the program showed, seen from inside its event loop.
struct Seen
{
    QString title;
    QString style_sheet;
    bool painted = false;
    int buttons = -1;
    qint64 shown_after_ms = -1;
};
Seen seen;
QElapsedTimer started;

void on_shown(QWidget& window)
{
    seen.shown_after_ms = started.elapsed();
    seen.title = window.windowTitle();
    seen.style_sheet = qApp->styleSheet();
    seen.buttons = kt::network_buttons(window).size();
    // Drawn as the desktop would draw it, icon included, whatever the files hold.
    window.windowIcon().pixmap(32, 32);
    seen.painted = !window.grab().isNull();
    QTimer::singleShot(0, &window, &QWidget::close);
}

int run_program()
{
    started.start();
    return kt::run_whole_program(on_shown);
}

} // namespace

class TestHostileStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void style_sheet_data();
    void style_sheet();
    void invalid_images_data();
    void invalid_images();
    void files_that_are_not_regular_data();
    void files_that_are_not_regular();
#ifdef KESTROVA_WINDOWS_BUILD
    void registry_changes_between_two_main_screens_data();
    void registry_changes_between_two_main_screens();
#endif

private:
    std::unique_ptr<kt::WorkDir> dir;
#ifdef KESTROVA_WINDOWS_BUILD
    std::unique_ptr<kw::Input> input;
#endif
};

void TestHostileStartup::init()
{
    dir = std::make_unique<kt::WorkDir>();
    kt::write_file("networks.data", "Lumieres|lumieres|\n");
    seen = Seen();
#ifdef KESTROVA_WINDOWS_BUILD
    input = std::make_unique<kw::Input>();
    input->close();
    qputenv("KW_RECORD", dir->file("record").toLocal8Bit());
#endif
}

void TestHostileStartup::cleanup()
{
#ifdef KESTROVA_WINDOWS_BUILD
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    input.reset();
#endif
    dir.reset();
}

void TestHostileStartup::style_sheet_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("applied"); // how many bytes of it become the style sheet
    const QByteArray before_nul = "QPushButton[class=\"net-btn\"] { color: red; }";
    QTest::newRow("NUL byte") << before_nul + QByteArray("\0QLabel { color: blue; }", 24) << before_nul.size();
    QTest::newRow("NUL byte first") << QByteArray("\0QLabel { color: blue; }", 24) << 0;
    const QByteArray rules = repeated_rules(100000);
    QTest::newRow("100,000 rules") << rules << rules.size();
    const QByteArray unterminated = "QLabel { color: " + QByteArray(16 << 20, 'x');
    QTest::newRow("16 MiB unterminated value") << unterminated << unterminated.size();
    QTest::newRow("1 MiB of open braces") << QByteArray(1 << 20, '{') << (1 << 20);
    const QByteArray binary = every_byte_but_nul(4096);
    QTest::newRow("every byte but NUL") << binary << binary.size();
}

void TestHostileStartup::style_sheet()
{
    QFETCH(QByteArray, content);
    QFETCH(int, applied);
    kt::write_file("style.qss", content);
    kt::StreamCapture err(std::cerr);
    QCOMPARE(run_program(), 0);
    QCOMPARE(seen.title, QString("Accueil Kestrova"));
    QVERIFY(seen.painted);
    QCOMPARE(seen.buttons, 1);
    // One byte is one character, up to the first NUL.
    QVERIFY(seen.style_sheet == QString::fromLatin1(content.constData(), applied));
    QCOMPARE(err.text(), std::string());
}

void TestHostileStartup::invalid_images_data()
{
    QTest::addColumn<QString>("kind");
    for (const char* kind : {"garbage", "empty", "truncated", "folder", "oversized"})
        QTest::newRow(kind) << kind;
}

void TestHostileStartup::invalid_images()
{
    QFETCH(QString, kind);
    QDir().mkdir("img");
    for (const QString& image : startup_images) {
        const QString source = QString(KESTROVA_IMAGES_DIR) + "/img/" + QFileInfo(image).fileName();
        if (kind == "garbage")
            kt::write_file(image, QByteArray(4096, '\x5a'));
        else if (kind == "empty")
            kt::write_file(image, QByteArray());
        else if (kind == "truncated")
            kt::write_file(image, kt::read_file(source).left(QFileInfo(source).size() / 2));
        else if (kind == "folder")
            QVERIFY(QDir().mkdir(image));
        else
            kt::write_file(image, oversized_png());
    }
    kt::StreamCapture err(std::cerr);
    QCOMPARE(run_program(), 0);
    QCOMPARE(seen.title, QString("Accueil Kestrova"));
    QVERIFY(seen.painted);
    QCOMPARE(seen.buttons, 1);
    QCOMPARE(err.text(), std::string());
}

void TestHostileStartup::files_that_are_not_regular_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("kind");
    for (const char* file : {"networks.data", "style.qss"})
        for (const char* kind : {"a named pipe", "a link to /dev/zero", "a link to a regular file"})
            QTest::addRow("%s, %s", file, kind) << file << kind;
}

void TestHostileStartup::files_that_are_not_regular()
{
    QFETCH(QString, file);
    QFETCH(QString, kind);
    const QByteArray style = "QPushButton[class=\"net-btn\"] { color: red; }";
    kt::write_file("style.qss", style);
    if (kind == "a named pipe") {
        QVERIFY(QFile::remove(file));
        QCOMPARE(::mkfifo(qPrintable(file), 0644), 0);
    } else if (kind == "a link to /dev/zero") {
        QVERIFY(QFile::remove(file));
        QVERIFY(QFile::link("/dev/zero", file));
    } else {
        QVERIFY(QDir().mkdir("kept") && QFile::rename(file, "kept/" + file));
        QVERIFY(QFile::link("kept/" + file, file));
    }
    const bool regular = kind == "a link to a regular file";

    kt::StreamCapture err(std::cerr);
    const kh::Guard guard("starting with " + file.toUtf8() + " as " + kind.toUtf8());
    QCOMPARE(run_program(), 0);

    // Shown at once, as if the file were unreadable: no registry, or no style sheet.
    QVERIFY2(seen.shown_after_ms < 1000, qPrintable(QString::number(seen.shown_after_ms) + " ms"));
    QVERIFY(seen.painted);
    const bool registry_read = regular || file != "networks.data";
    QCOMPARE(seen.buttons, registry_read ? 1 : 0);
    QCOMPARE(QString::fromStdString(err.text()),
             registry_read ? QString() : QString("Impossible d'ouvrir le fichier JSON.\n"));
    QCOMPARE(seen.style_sheet, regular || file != "style.qss" ? QString::fromLatin1(style) : QString());
}

#ifdef KESTROVA_WINDOWS_BUILD
void TestHostileStartup::registry_changes_between_two_main_screens_data()
{
    QTest::addColumn<QByteArray>("change");
    QTest::addColumn<QStringList>("buttons");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("first_folder"); // where its first button starts a server, if pressed
    const QString unreadable = "Impossible d'ouvrir le fichier JSON.\n";
    QTest::newRow("lines removed and reordered")
        << QByteArray("Trois|trois|\nUn|un|\n") << QStringList {"Trois", "Un"} << "" << "trois";
    QTest::newRow("emptied") << QByteArray() << QStringList {} << "" << "";
    QTest::newRow("removed") << QByteArray("<removed>") << QStringList {} << unreadable << "";
    QTest::newRow("replaced by a folder") << QByteArray("<folder>") << QStringList {} << unreadable << "";
    QTest::newRow("NUL and bytes that are not UTF-8")
        << QByteArray("\xff\0|\xfe|\n", 6) << QStringList {QString::fromUtf8("\xef\xbf\xbd") + QChar(0)} << "" << "";
}

void TestHostileStartup::registry_changes_between_two_main_screens()
{
    QFETCH(QByteArray, change);
    QFETCH(QStringList, buttons);
    QFETCH(QString, message);
    QFETCH(QString, first_folder);
    int argc = 1;
    char name[] = "kestrova-win-a";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);
    for (const char* folder : {"un", "deux", "trois"})
        kw::write_recording_project(dir->file(folder));
    kt::write_file("networks.data", "Un|un|\nDeux|deux|\nTrois|trois|\n");
    kt::StreamCapture out(std::cout);
    kt::StreamCapture err(std::cerr);
    NetworkSelectionWindow window(nullptr);
    QCOMPARE(kt::network_buttons(window).size(), 3);

    QFile::remove("networks.data");
    if (change == "<folder>")
        QVERIFY(QDir().mkdir("networks.data"));
    else if (change != "<removed>")
        kt::write_file("networks.data", change);
    // The panel's stop goes back to a main screen made from the registry as it is now.
    QVERIFY(QMetaObject::invokeMethod(&window, "stop_network"));
    QTRY_VERIFY(!BusyWork::busy(&window));

    QStringList texts;
    for (QPushButton* button : kt::network_buttons(window))
        texts << button->text();
    QCOMPARE(texts, buttons);
    QCOMPARE(window.networks.size(), std::size_t(buttons.size()));
    QCOMPARE(QString::fromStdString(err.text()), message);
    // Only the last screen's mapper maps anything: no stale position can reach a record.
    const QList<QSignalMapper*> mappers = window.findChildren<QSignalMapper*>();
    QCOMPARE(mappers.size(), 2);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(mappers.first()->mapping(i), static_cast<QObject*>(nullptr));
        QObject* button = i < buttons.size() ? kt::network_buttons(window)[i] : nullptr;
        QCOMPARE(mappers.last()->mapping(i), button);
    }
    if (first_folder.isEmpty())
        return;

    // The first button of the new screen starts the first network of the new
    // registry, whose server then answers on the port.
    const QString manage = dir->file(first_folder) + "/manage.py";
    kt::write_file(manage, kt::read_file(manage)
                               + "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
                                 "HTTPServer(('127.0.0.1', 8000), BaseHTTPRequestHandler).serve_forever()\n");
    kt::press(kt::network_buttons(window).first());
    QTRY_COMPARE(QString::fromUtf8(kt::read_file("record")), QDir(dir->file(first_folder)).canonicalPath() + "|runserver\n");
    QCOMPARE(window.windowTitle(), "Kestrova : " + buttons.first());
}
#endif

QTEST_APPLESS_MAIN(TestHostileStartup)
#include "tst_hostile_startup.moc"
