#include "real_terminal.h"
#include "test_support.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>

#include <csignal>
#include <unistd.h>

namespace kt {

QList<pid_t> marked_processes(const QByteArray& mark)
{
    QList<pid_t> found;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number || pid == ::getpid() || has_ended(pid))
            continue;
        const QByteArray stat = read_file("/proc/" + entry + "/stat");
        const bool our_child = stat.mid(stat.lastIndexOf(')') + 4).split(' ').value(0).toInt() == ::getpid();
        if (!our_child && read_file("/proc/" + entry + "/environ").split('\0').contains(mark))
            found << pid;
    }
    return found;
}

IdleTerminal::IdleTerminal(const QByteArray& mark_variable)
    : mark(mark_variable + "=" + QByteArray::number(::getpid()) + "-idle")
{
    QProcess client;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(mark_variable), QString::number(::getpid()) + "-idle");
    client.setProcessEnvironment(environment);
    client.start("gnome-terminal", {"--", "sleep", "600"});
    client.waitForFinished(30000);
}

IdleTerminal::~IdleTerminal()
{
    for (pid_t pid : marked_processes(mark))
        ::kill(pid, SIGKILL);
}

} // namespace kt
