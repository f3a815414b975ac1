// The start-up and teardown of a Windows build, run whole in this process:
// its icons and window flags, and what leaving the program stops.
#include "recording_browser.h"
#include "test_support.h"
#include "whole_program.h"
#include "widget_lookup.h"
#include "busy_work.h"
#include "../core/tst_win_support.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>
#include <iostream>
#include <unistd.h>

namespace {

// A 16 x 16 icon file of one colour (one 32-bit bitmap entry).
QByteArray icon_file(QRgb colour)
{
    QByteArray data;
    QDataStream stream(&data, QIODevice::WriteOnly);
    stream.setByteOrder(QDataStream::LittleEndian);
    const quint32 pixels = 16 * 16 * 4;
    const quint32 mask = 16 * 4;
    stream << quint16(0) << quint16(1) << quint16(1);
    stream << quint8(16) << quint8(16) << quint8(0) << quint8(0) << quint16(1) << quint16(32)
           << quint32(40 + pixels + mask) << quint32(22);
    stream << quint32(40) << qint32(16) << qint32(32) << quint16(1) << quint16(32) << quint32(0)
           << quint32(pixels + mask) << qint32(0) << qint32(0) << quint32(0) << quint32(0);
    for (int i = 0; i < 16 * 16; ++i)
        stream << quint8(qBlue(colour)) << quint8(qGreen(colour)) << quint8(qRed(colour)) << quint8(255);
    for (quint32 i = 0; i < mask; ++i)
        stream << quint8(0);
    return data;
}

QColor colour_of(const QIcon& icon)
{
    const QImage image = icon.pixmap(16, 16).toImage();
    return image.isNull() ? QColor() : image.pixelColor(8, 8);
}


// What the program showed, seen from inside its event loop.
struct Seen
{
    QColor application_icon;
    QColor window_icon;
    Qt::WindowFlags flags;
    bool panel = false;
    QStringList urls;
};
Seen seen;
bool press_first_network = false;
int ending_signal = 0;

void on_shown(QWidget& window)
{
    seen.application_icon = colour_of(QApplication::windowIcon());
    seen.window_icon = colour_of(window.windowIcon());
    seen.flags = window.windowFlags();
    if (press_first_network) {
        QPushButton* button = kt::network_buttons(window).value(0);
        kt::Browser browser;
        if (button)
            button->click();
        (void)QTest::qWaitFor([&window] { return !BusyWork::busy(&window); }, 60000);
        seen.panel = window.windowTitle() == "Kestrova : Lumieres";
        seen.urls = browser.urls;
    }
    if (ending_signal)
        ::kill(::getpid(), ending_signal);
    else
        QTimer::singleShot(0, &window, &QWidget::close);
}

int run_program()
{
    return kt::run_whole_program(on_shown);
}

} // namespace

class TestWinStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void icons_and_flags_and_a_quiet_exit();
    void leaving_the_program_stops_the_server_it_started_data();
    void leaving_the_program_stops_the_server_it_started();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kw::Input> input;
};

void TestWinStartup::init()
{
    dir = std::make_unique<kt::WorkDir>();
    input = std::make_unique<kw::Input>();
    input->close();
    seen = Seen();
    press_first_network = false;
    ending_signal = 0;
}

void TestWinStartup::cleanup()
{
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    input.reset();
    dir.reset();
}

void TestWinStartup::icons_and_flags_and_a_quiet_exit()
{
    kt::write_file("velmor_logo.ico", icon_file(qRgb(255, 0, 0)));
    QDir().mkdir("img");
    kt::write_file("img/velmor_logo.ico", icon_file(qRgb(0, 0, 255)));
    kt::write_file("networks.data", "Lumieres|lumieres|\n");
    kw::Outsider outsider;
    kt::write_file("server_pid.tmp", QByteArray::number(outsider.pid()) + "  \n");

    kt::StreamCapture out(std::cout);
    QCOMPARE(run_program(), 0);

    QCOMPARE(seen.application_icon, QColor(255, 0, 0));
    QCOMPARE(seen.window_icon, QColor(0, 0, 255));
    // Set as 0x8004001; Qt adds the title and system menu that those buttons need.
    const Qt::WindowFlags set = Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    QCOMPARE(int(set), 0x8004001);
    QCOMPARE(seen.flags & set, set);
    QVERIFY(!(seen.flags & (Qt::WindowMaximizeButtonHint | Qt::WindowContextHelpButtonHint)));
    // No server was started: leaving ran no listing and ended nothing.
    QCOMPARE(out.text(), std::string("Lumieres|lumieres|\n1\n"));
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray::number(outsider.pid()) + "  \n");
    QVERIFY(outsider.running());
    QCOMPARE(kw::descendants().size(), 1);
}

void TestWinStartup::leaving_the_program_stops_the_server_it_started_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("closing the window") << 0;
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP (logout)") << int(SIGHUP);
}

void TestWinStartup::leaving_the_program_stops_the_server_it_started()
{
    QFETCH(int, signal);
    ending_signal = signal;
    QVERIFY2(!kw::server_port_answers(), "something already listens on 127.0.0.1:8000");
    QVERIFY(!kt::provision_hub(dir->path(), "lumieres").isEmpty());
    kt::write_file("networks.data", "Lumieres|lumieres|\n");
    kw::Outsider outsider;
    press_first_network = true;

    kt::StreamCapture out(std::cout);
    QCOMPARE(run_program(), 0);

    QVERIFY(seen.panel);
    QCOMPARE(seen.urls, QStringList {"http://127.0.0.1:8000"});
    QVERIFY2(QRegularExpression("sdsds[0-9]+  \n$").match(QString::fromStdString(out.text())).hasMatch(),
             out.text().c_str());
    QTRY_VERIFY(!kw::server_port_answers());
    QTRY_VERIFY2(kw::pids_of(kw::descendants(), "python") == QList<pid_t> {outsider.pid()},
                 qPrintable(kw::describe(kw::descendants())));
    QVERIFY(outsider.running());
}

QTEST_APPLESS_MAIN(TestWinStartup)
#include "tst_win_startup.moc"
