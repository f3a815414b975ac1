#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

#include <memory>

namespace kt {

// A hub server on host:8000 for the life of the object, its output kept in
// workdir/<host>.log. Stopped by its own process id.
class HubServer
{
public:
    // A real hub made from the template, run by Django's development server;
    // it answers its package name `name`.
    static std::unique_ptr<HubServer> django(const QString& workdir, const QString& host, const QString& name);
    // A small server of the test's own (Python's http.server): HEAD "/"
    // answers `status`, GET "/_infos/kl/" answers `name` byte for byte.
    static std::unique_ptr<HubServer> answering(const QString& workdir, const QString& host, const QByteArray& name,
                                int status = 200);
    ~HubServer();
    bool running() const { return up; }

private:
    HubServer() = default;
    void start(const QString& workdir, const QString& host, const QStringList& arguments);
    QProcess process;
    bool up = false;
};

} // namespace kt
