#include "test_support.h"

#include "test_paths.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ostream>

namespace kt {

WorkDir::WorkDir() : previous(QDir::currentPath()), previous_config(qgetenv("XDG_CONFIG_HOME"))
{
    QDir::setCurrent(dir.path());
    // The members' remembered hubs stay the test's own.
    qputenv("XDG_CONFIG_HOME", dir.filePath("config").toLocal8Bit());
}

WorkDir::~WorkDir()
{
    QDir::setCurrent(previous);
    qputenv("XDG_CONFIG_HOME", previous_config);
}

StandIns::StandIns() : previous_path(qgetenv("PATH"))
{
    qputenv("PATH", dir.path().toLocal8Bit() + ":" + previous_path);
}

StandIns::~StandIns()
{
    qputenv("PATH", previous_path);
}

void StandIns::link_system_tool(const QString& name)
{
    const QString system = QStandardPaths::findExecutable(name, {"/usr/bin", "/bin", "/usr/sbin"});
    QFile::link(system, dir.filePath(name));
}

void StandIns::prefer_system_python()
{
    qputenv("PATH", dir.path().toLocal8Bit() + ":/usr/bin:" + previous_path);
}

void StandIns::add(const QString& name, const QByteArray& script)
{
    write_file(dir.filePath(name), script, true);
}

void StandIns::add_ifconfig(const QStringList& addresses)
{
    QByteArray listing =
        "lo: flags=73<UP,LOOPBACK,RUNNING>  mtu 65536\n"
        "        inet 127.0.0.1  netmask 255.0.0.0\n"
        "        inet6 ::1  prefixlen 128  scopeid 0x10<host>\n\n";
    int n = 0;
    for (const QString& address : addresses) {
        listing += "eth" + QByteArray::number(n++)
            + ": flags=4163<UP,BROADCAST,RUNNING,MULTICAST>  mtu 1500\n"
              "        inet " + address.toLatin1()
            + "  netmask 255.255.255.0  broadcast 0.0.0.0\n"
              "        inet6 fe80::1  prefixlen 64  scopeid 0x20<link>\n\n";
    }
    add("ifconfig", "#!/bin/sh\ncat <<'LISTING'\n" + listing + "LISTING\n");
}

void StandIns::add_terminal(const QString& log_dir)
{
    const QByteArray logs = log_dir.toLocal8Bit();
    add("gnome-terminal",
        "#!/bin/sh\n"
        "printf '%s\\n' \"$@\" > '" + logs + "/terminal.args'\n"
        "[ \"$1\" = -- ] || exit 2\n"
        "shift\n"
        "setsid \"$@\" </dev/null >>'" + logs + "/terminal.out' 2>&1 &\n"
        "echo $! >> '" + logs + "/terminal.groups'\n");
}

void write_file(const QString& path, const QByteArray& content, bool executable)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

QByteArray read_file(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

namespace {

QProcessEnvironment django_environment()
{
    // Debian's Django belongs to /usr/bin/python3.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", "/usr/bin:" + environment.value("PATH"));
    return environment;
}

bool run(const QString& workdir, const QString& program, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(workdir);
    process.setProcessEnvironment(django_environment());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

} // namespace

QString provision_hub(const QString& workdir, const QString& name)
{
    if (!run(workdir, "/usr/bin/django-admin", {"startproject", name}))
        return QString();
    const QString package = workdir + "/" + name + "/" + name;
    const QString source = KESTROVA_TEMPLATE_DIR;
    for (const char* file : {"settings.py", "urls.py"})
        if (!run(workdir, "cp", {source + "/" + file, package + "/"}))
            return QString();
    for (const char* folder : {"hubs", "ressources", "templates", "static"})
        if (!run(workdir, "cp", {"-r", source + "/" + folder, package + "/"}))
            return QString();
    return workdir + "/" + name;
}

QByteArray http(const QString& method, const QString& url)
{
    QProcess curl;
    QStringList arguments {"--silent", "--max-time", "5", "--include"};
    if (method == "HEAD")
        arguments << "--head";
    curl.start("curl", arguments << url);
    curl.waitForFinished(10000);
    return curl.readAllStandardOutput();
}

bool wait_for_port(const QString& host, int port, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
    while (timer.elapsed() < timeout_ms) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (up)
            return true;
        QThread::msleep(50);
    }
    return false;
}

void stop_process_group(pid_t group)
{
    if (group <= 1)
        return;
    ::kill(-group, SIGTERM);
    for (int i = 0; i < 100 && ::kill(-group, 0) == 0; ++i)
        QThread::msleep(50);
    if (::kill(-group, 0) == 0)
        ::kill(-group, SIGKILL);
    // Reap it when it is our own child; harmless otherwise.
    while (::waitpid(group, nullptr, WNOHANG) > 0) {
    }
}

QList<pid_t> recorded_groups(const QString& log_dir)
{
    QList<pid_t> groups;
    for (const QByteArray& line : read_file(log_dir + "/terminal.groups").split('\n'))
        if (!line.trimmed().isEmpty())
            groups << static_cast<pid_t>(line.trimmed().toInt());
    return groups;
}

QList<pid_t> zombie_children()
{
    QList<pid_t> zombies;
    const QString self = QString::number(::getpid());
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs)) {
        bool number = false;
        entry.toInt(&number);
        if (!number)
            continue;
        const QByteArray stat = read_file("/proc/" + entry + "/stat");
        // "pid (comm) state ppid ...": the command may hold blanks, so read after ')'.
        const int close = stat.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
        if (fields.size() > 1 && fields[0] == "Z" && fields[1] == self.toLatin1())
            zombies << entry.toInt();
    }
    return zombies;
}

Listener::Listener(const QString& host, int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        fd = -1;
    }
}

int Listener::port() const
{
    sockaddr_in address {};
    socklen_t size = sizeof address;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return -1;
    return ntohs(address.sin_port);
}

bool Listener::reached() const
{
    // A connection that the kernel completed waits to be accepted.
    pollfd pending {fd, POLLIN, 0};
    return fd >= 0 && ::poll(&pending, 1, 0) == 1;
}

Listener::~Listener()
{
    if (fd >= 0)
        ::close(fd);
}

NoFreeDescriptors::NoFreeDescriptors(int spare)
{
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    saved_limit = static_cast<long>(limit.rlim_cur);
    int highest = 0;
    for (const QString& entry : QDir("/proc/self/fd").entryList(QDir::Files | QDir::System))
        highest = qMax(highest, entry.toInt());
    limit.rlim_cur = static_cast<rlim_t>(highest + 1);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
        taken << fd;
    for (int i = 0; i < spare && !taken.isEmpty(); ++i)
        ::close(taken.takeLast());
}

NoFreeDescriptors::~NoFreeDescriptors()
{
    for (int fd : taken)
        ::close(fd);
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = static_cast<rlim_t>(saved_limit);
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

StreamCapture::StreamCapture(std::ostream& stream) : stream(stream), previous(stream.rdbuf())
{
    // Here and not in the initialiser list: the buffer is built after `previous`.
    stream.rdbuf(buffer.rdbuf());
}

StreamCapture::~StreamCapture()
{
    stream.rdbuf(previous);
}

bool has_ended(pid_t pid)
{
    const QByteArray stat = read_file("/proc/" + QString::number(pid) + "/stat");
    const int close = stat.lastIndexOf(')');
    return close < 0 || close + 2 >= stat.size() || stat[close + 2] == 'Z' || stat[close + 2] == 'X';
}

} // namespace kt
