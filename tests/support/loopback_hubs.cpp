#include "loopback_hubs.h"

#include "test_support.h"

#include <QFile>
#include <QProcessEnvironment>

namespace kt {

namespace {

const QByteArray name_server_script =
    "import sys\n"
    "from http.server import BaseHTTPRequestHandler, HTTPServer\n"
    "host, status, name_file = sys.argv[1], int(sys.argv[2]), sys.argv[3]\n"
    "with open(name_file, 'rb') as f:\n"
    "    name = f.read()\n"
    "class Handler(BaseHTTPRequestHandler):\n"
    "    def answer(self, code, body=b''):\n"
    "        self.send_response(code)\n"
    "        self.send_header('Content-Type', 'text/plain; charset=utf-8')\n"
    "        self.send_header('Content-Length', str(len(body)))\n"
    "        self.end_headers()\n"
    "        if self.command != 'HEAD':\n"
    "            self.wfile.write(body)\n"
    "    def do_HEAD(self):\n"
    "        self.answer(status if self.path == '/' else 404)\n"
    "    def do_GET(self):\n"
    "        if self.path == '/_infos/kl/':\n"
    "            self.answer(200, name)\n"
    "        else:\n"
    "            self.answer(status if self.path == '/' else 404)\n"
    "HTTPServer((host, 8000), Handler).serve_forever()\n";

} // namespace

std::unique_ptr<HubServer> HubServer::django(const QString& workdir, const QString& host, const QString& name)
{
    std::unique_ptr<HubServer> server(new HubServer());
    const QString project = provision_hub(workdir, name);
    if (project.isEmpty())
        return server;
    server->process.setWorkingDirectory(project);
    server->start(workdir, host, {"manage.py", "runserver", "--noreload", host + ":8000"});
    return server;
}

std::unique_ptr<HubServer> HubServer::answering(const QString& workdir, const QString& host, const QByteArray& name,
                                int status)
{
    std::unique_ptr<HubServer> server(new HubServer());
    const QString script = workdir + "/name_server.py";
    if (!QFile::exists(script))
        write_file(script, name_server_script);
    const QString name_file = workdir + "/" + host + ".name";
    write_file(name_file, name);
    server->start(workdir, host, {script, host, QString::number(status), name_file});
    return server;
}

void HubServer::start(const QString& workdir, const QString& host, const QStringList& arguments)
{
    // Debian's Django belongs to /usr/bin/python3.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", "/usr/bin:" + environment.value("PATH"));
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(workdir + "/" + host + ".log");
    process.setStandardErrorFile(workdir + "/" + host + ".log", QIODevice::Append);
    process.start("/usr/bin/python3", arguments);
    if (!process.waitForStarted(10000))
        return;
    // A server that cannot bind ends at once: stop waiting for it then.
    for (int i = 0; i < 300 && !up && process.state() == QProcess::Running; ++i)
        up = wait_for_port(host, 8000, 100);
}

HubServer::~HubServer()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

} // namespace kt
