#include "startup.h"

#include "example_host.h"
#include "networkselectionwindow.h"
#ifndef KESTROVA_WINDOWS_BUILD
#include "clientwindow.h"
#endif

#include <QApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QStringList>
#include <QTextCodec>
#include <QTranslator>
#include <QUrl>

#if defined(KESTROVA_WINDOWS_BUILD) && !defined(_WIN32)
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifndef KESTROVA_WINDOWS_BUILD
void quiet(QtMsgType, const QMessageLogContext&, const QString&)
{
}

// The desktop is handed the example hub before any application exists. Qt 5
// cannot open anything yet and only complains; keep that complaint off the
// console, since start-up prints nothing.
void hand_desktop_example_hub()
{
    const QtMessageHandler previous = qInstallMessageHandler(quiet);
    QDesktopServices::openUrl(QUrl(QString(example_host_address) + ":8000"));
    qInstallMessageHandler(previous);
}
#endif

// The keeper's style sheet, read as Latin-1 and only up to a NUL byte, as it
// has always been read; none when it is not a regular file after links (a
// named pipe would block the start for good, /dev/zero would never end).
QString style_sheet_of(const QString& file_name)
{
    QFile style(file_name);
    if (!QFileInfo(style).isFile() || !style.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(style.readAll().constData());
}

void install_translation(QTranslator& translator)
{
    const QStringList ui_languages = QLocale::system().uiLanguages();
    for (const QString& locale : ui_languages) {
        const QString base_name = "KestrovaGUI_" + QLocale(locale).name();
        if (translator.load(":/i18n/" + base_name)) {
            QCoreApplication::installTranslator(&translator);
            break;
        }
    }
}

// What both programs set up before their window, kept until after the window
// is gone: members are destroyed translator first, application last.
class Shell
{
public:
    Shell(int& argc, char** argv) : app(argc, argv)
    {
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
        app.setStyleSheet(style_sheet_of("style.qss"));
        install_translation(translator);
    }

    int run(QWidget& window, void (*shown)(QWidget&))
    {
        window.show();
        if (shown)
            shown(window);
        return app.exec();
    }

private:
    QApplication app;
    QTranslator translator;
};

#if defined(KESTROVA_WINDOWS_BUILD) && !defined(_WIN32)
int ending_pipe[2] = {-1, -1};

extern "C" void wake_for_ending(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(ending_pipe[1], &byte, 1);
    (void)ignored;
}

// A logout or a kill ends the program as closing its window does, so that the
// window's destructor stops the server it started. The handler only wakes the
// event loop through a pipe; the ending itself runs there.
void end_on_signals(QObject* owner)
{
    if (ending_pipe[0] < 0 && ::pipe2(ending_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* notifier = new QSocketNotifier(ending_pipe[0], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        char bytes[16];
        while (::read(ending_pipe[0], bytes, sizeof bytes) > 0) {
        }
        QCoreApplication::quit();
    });
    struct sigaction action {};
    action.sa_handler = wake_for_ending;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}
#endif

} // namespace

int run_kestrova(int argc, char** argv, void (*shown)(QWidget&))
{
#ifndef KESTROVA_WINDOWS_BUILD
    hand_desktop_example_hub();
#endif
    Shell shell(argc, argv);
    NetworkSelectionWindow window(nullptr);
#ifdef KESTROVA_WINDOWS_BUILD
    QApplication::setWindowIcon(QIcon("velmor_logo.ico"));
    window.setWindowIcon(QIcon("img/velmor_logo.ico"));
#ifndef _WIN32
    end_on_signals(&window);
#endif
#else
    window.setWindowIcon(QIcon("img/velmor_logo.svg"));
#endif
    window.setWindowFlags(Qt::WindowFlags(0x8004001));
    return shell.run(window, shown);
}

#ifndef KESTROVA_WINDOWS_BUILD
int run_kestrova_client(int argc, char** argv, void (*shown)(QWidget&))
{
    Shell shell(argc, argv);
    // The window shows at once; its search runs behind it.
    ClientWindow window(nullptr);
    window.setWindowIcon(QIcon("img/velmor_logo.svg"));
    return shell.run(window, shown);
}
#endif
