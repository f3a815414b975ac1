#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QList>
#include <QTemporaryDir>

#include <iosfwd>
#include <sstream>
#include <sys/types.h>

namespace kt {

// A fresh temporary folder that the process works in for the test's life.
class WorkDir
{
public:
    WorkDir();
    ~WorkDir();
    QString path() const { return dir.path(); }
    QString file(const QString& name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
    QString previous;
    QByteArray previous_config;
};

// A folder of stand-in programs put first on PATH for the test's life.
class StandIns
{
public:
    StandIns();
    ~StandIns();
    void add(const QString& name, const QByteArray& script);
    // An ifconfig that lists loopback and the given IPv4 addresses, in order.
    void add_ifconfig(const QStringList& addresses);
    // A gnome-terminal that runs "bash -c CMD" detached in a session of its
    // own, recording its arguments and the session's id under `log_dir`.
    void add_terminal(const QString& log_dir);
    // Makes the system's `name` reachable from the stand-ins' folder alone.
    void link_system_tool(const QString& name);
    // Puts /usr/bin right after the stand-ins: Debian's Django belongs to
    // /usr/bin/python3, not to whatever python3 comes first otherwise.
    void prefer_system_python();
    QString path() const { return dir.path(); }

private:
    QTemporaryDir dir;
    QByteArray previous_path;
};

void write_file(const QString& path, const QByteArray& content, bool executable = false);
QByteArray read_file(const QString& path);

// Makes a real hub project `name` under `workdir` from the project's template
// folder, as provisioning does. Returns the project folder, or "" on failure.
QString provision_hub(const QString& workdir, const QString& name);

// An HTTP exchange with curl: the status line and headers (and body for GET).
QByteArray http(const QString& method, const QString& url);

bool wait_for_port(const QString& host, int port, int timeout_ms);
// Ends a process group that the test started, by its id, and waits for it.
void stop_process_group(pid_t group);
// Ids of the process groups recorded by the stand-in terminal.
QList<pid_t> recorded_groups(const QString& log_dir);
// The zombie children of this process.
QList<pid_t> zombie_children();
// True once the process has ended: gone, or a zombie that its parent has
// not reaped yet.
bool has_ended(pid_t pid);

// A TCP port that accepts connections (the kernel completes them) and never
// answers, for as long as the object lives. Port 0 takes a free one.
class Listener
{
public:
    Listener(const QString& host, int port);
    ~Listener();
    bool listening() const { return fd >= 0; }
    int port() const;
    // True once a connection has been made to it.
    bool reached() const;

private:
    int fd = -1;
};

// Leaves the process only `spare` free file descriptors for the object's life;
// with fewer than two, no pipe can be opened.
class NoFreeDescriptors
{
public:
    explicit NoFreeDescriptors(int spare = 0);
    ~NoFreeDescriptors();

private:
    QList<int> taken;
    long saved_limit = 0;
};

// Makes every popen of the process fail, as with no descriptor left, for the
// object's life. Unlike NoFreeDescriptors it leaves Qt and the sanitizers the
// descriptors they open on the way.
class CommandPipesRefused
{
public:
    CommandPipesRefused();
    ~CommandPipesRefused();
    CommandPipesRefused(const CommandPipesRefused&) = delete;
    CommandPipesRefused& operator=(const CommandPipesRefused&) = delete;
};

// Captures what the program writes to a standard stream for the capture's life.
class StreamCapture
{
public:
    explicit StreamCapture(std::ostream& stream);
    ~StreamCapture();
    std::string text() const { return buffer.str(); }

private:
    std::ostream& stream;
    std::streambuf* previous;
    std::ostringstream buffer;
};

} // namespace kt
