#pragma once

// What the suites of the Windows builds share: the standard streams of this
// process sent elsewhere, a look at the processes this test started, and
// loopback port 8000 (where the Windows build's server listens).

#include "process_win.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kw {

// Sends one of this process's standard streams, children included, to a
// file for the object's life.
class FdToFile
{
public:
    FdToFile(int fd, const QString& path) : fd(fd)
    {
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        saved = ::dup(fd);
        const int file = ::open(path.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ::dup2(file, fd);
        ::close(file);
    }
    ~FdToFile()
    {
        std::fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        ::dup2(saved, fd);
        ::close(saved);
    }

private:
    int fd;
    int saved = -1;
};

// Standard input from a pipe that the test writes to, for the object's life;
// nothing written and the pipe closed means end of input.
class Input
{
public:
    Input()
    {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            qFatal("no pipe");
        saved = ::dup(STDIN_FILENO);
        ::dup2(ends[0], STDIN_FILENO);
        ::close(ends[0]);
        writer = ends[1];
    }
    ~Input()
    {
        close();
        ::dup2(saved, STDIN_FILENO);
        ::close(saved);
    }
    void send(const QByteArray& bytes)
    {
        if (writer >= 0 && ::write(writer, bytes.constData(), static_cast<size_t>(bytes.size())) < 0)
            qWarning("cannot write to standard input");
    }
    void close()
    {
        if (writer >= 0)
            ::close(writer);
        writer = -1;
    }

private:
    int saved = -1;
    int writer = -1;
};

struct Process
{
    pid_t pid = 0;
    QString image;        // the executable's file name
    QString command_line; // its arguments, blank-separated
};

inline QByteArray stat_of(pid_t pid)
{
    return kt::read_file("/proc/" + QString::number(pid) + "/stat");
}

inline char state_of(const QByteArray& stat)
{
    const int close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() ? stat[close + 2] : 'X';
}

inline pid_t parent_of(const QByteArray& stat)
{
    const int close = stat.lastIndexOf(')');
    return close > 0 ? stat.mid(close + 4).split(' ').value(0).toInt() : 0;
}

// True while the process runs (not gone, not a zombie).
inline bool alive(pid_t pid)
{
    const QByteArray stat = stat_of(pid);
    return !stat.isEmpty() && state_of(stat) != 'Z' && state_of(stat) != 'X';
}

// The living descendants of this test process.
inline QList<Process> descendants()
{
    QMap<pid_t, pid_t> parents;
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        const QByteArray stat = number ? stat_of(pid) : QByteArray();
        if (!stat.isEmpty() && state_of(stat) != 'Z')
            parents[pid] = parent_of(stat);
    }
    QList<Process> found;
    QList<pid_t> pending {::getpid()};
    while (!pending.isEmpty()) {
        const pid_t parent = pending.takeLast();
        for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
            if (it.value() != parent)
                continue;
            pending << it.key();
            const QString proc = "/proc/" + QString::number(it.key());
            QByteArray arguments = kt::read_file(proc + "/cmdline");
            arguments.replace('\0', ' ');
            found << Process {it.key(), QFileInfo(QFile::symLinkTarget(proc + "/exe")).fileName(),
                              QString::fromLocal8Bit(arguments.trimmed())};
        }
    }
    return found;
}

inline QList<pid_t> pids_of(const QList<Process>& processes, const QString& image_part)
{
    QList<pid_t> pids;
    for (const Process& process : processes)
        if (process.image.contains(image_part))
            pids << process.pid;
    return pids;
}

inline QString describe(const QList<Process>& processes)
{
    QStringList lines;
    for (const Process& process : processes)
        lines << QString::number(process.pid) + " " + process.image + " : " + process.command_line;
    return lines.join("\n");
}

// Ends, by id, every process that this test started through the stand-in
// and that still runs (those that carry its family mark), the innermost
// first so that each is reaped by the process that started it.
inline void end_family()
{
    const QByteArray mark = QByteArray(kestrova_family_variable) + "=" + QByteArray::number(::getpid());
    for (int round = 0; round < 20; ++round) {
        QMap<pid_t, pid_t> parents;
        for (const Process& process : descendants()) {
            const QList<QByteArray> environment =
                kt::read_file("/proc/" + QString::number(process.pid) + "/environ").split('\0');
            if (environment.contains(mark))
                parents[process.pid] = parent_of(stat_of(process.pid));
        }
        if (parents.isEmpty())
            return;
        const QList<pid_t> with_children = parents.values();
        QList<pid_t> leaves;
        for (pid_t pid : parents.keys())
            if (!with_children.contains(pid))
                leaves << pid;
        for (pid_t pid : leaves)
            ::kill(pid, SIGKILL);
        for (int i = 0; i < 100 && std::any_of(leaves.begin(), leaves.end(), alive); ++i)
            QThread::msleep(20);
    }
}

// Waits for this process to have reaped every child that ended; returns the
// stat lines of those left, empty when none is.
inline QString zombies_left(int timeout_ms = 10000)
{
    for (int waited = 0; waited < timeout_ms && !kt::zombie_children().isEmpty(); waited += 50)
        QThread::msleep(50);
    QStringList left;
    for (pid_t zombie : kt::zombie_children())
        left << QString::fromLocal8Bit(stat_of(zombie).left(80));
    return left.join("\n");
}

inline bool server_port_answers()
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(8000);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return up;
}

// A Python program that the test starts itself, outside the program under
// test: nothing the program does may list or end it.
class Outsider
{
public:
    Outsider()
    {
        process.start("/usr/bin/python3", {"-c", "import time; time.sleep(600)"});
        process.waitForStarted();
    }
    ~Outsider()
    {
        process.kill();
        process.waitForFinished();
    }
    pid_t pid() const { return static_cast<pid_t>(process.processId()); }
    bool running() const { return process.state() == QProcess::Running && alive(pid()); }

private:
    QProcess process;
};

// A project folder whose manage.py records where and how it was run in the
// file named by KW_RECORD, then waits until the file named by KW_GATE
// exists, if that variable is set.
inline void write_recording_project(const QString& folder)
{
    QDir().mkpath(folder);
    kt::write_file(folder + "/manage.py",
                   "import os, sys, time\n"
                   "with open(os.environ['KW_RECORD'], 'a') as record:\n"
                   "    record.write(os.getcwd() + '|' + ' '.join(sys.argv[1:]) + '\\n')\n"
                   "gate = os.environ.get('KW_GATE')\n"
                   "while gate and not os.path.exists(gate):\n"
                   "    time.sleep(0.05)\n");
}

inline QStringList recorded_runs(const QString& record)
{
    return QString::fromUtf8(kt::read_file(record)).split('\n', Qt::SkipEmptyParts);
}

} // namespace kw
