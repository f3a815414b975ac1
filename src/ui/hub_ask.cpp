#include "hub_ask.h"

#include "discovery_commands.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkProxy>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

// As the sweep's curl --max-time: the whole answer, from the connection's start.
const int answer_bound_ms = 4500;
const int answer_limit = 4096;
// Room for the status line and headers before the body.
const int head_limit = 8192;
const int resolve_bound_ms = 3000;

QString shown(const std::string& host, int port)
{
    const QString name = QString::fromStdString(host);
    return (name.contains(':') ? "[" + name + "]" : name) + ":" + QString::number(port);
}

// The status of a whole head ("HTTP/1.x NNN ..."), or 0.
int status_of(const QByteArray& head)
{
    const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
    return words.size() >= 2 && words[0].startsWith("HTTP/1.") ? words[1].toInt() : 0;
}

// A plain HTTP/1.0 GET over a socket: no thread to start and no connection
// cache, which keeps a first ask as quick as the hub's own answer.
void ask_address(QObject* context, const QHostAddress& target, const std::string& host, int port,
                 const std::function<void(const HubAnswer&)>& done)
{
    auto* socket = new QTcpSocket(context);
    // Straight to the hub, whatever proxy the environment names.
    socket->setProxy(QNetworkProxy::NoProxy);
    auto* deadline = new QTimer(socket);
    deadline->setSingleShot(true);
    auto received = std::make_shared<QByteArray>();
    auto ended = std::make_shared<bool>(false);
    const QString where = shown(host, port);
    const auto finish = [=](const HubAnswer& answer) {
        if (*ended)
            return;
        *ended = true;
        deadline->stop();
        socket->abort();
        socket->deleteLater();
        done(answer);
    };
    const auto failure = [=](const QString& why) { finish(HubAnswer {false, std::string(), where + " : " + why}); };
    // The answer so far: a hub's, once its body is whole or 4 KiB long.
    const auto judge = [=](bool closed) {
        const int head_end = received->indexOf("\r\n\r\n");
        if (head_end < 0) {
            if (closed || received->size() > head_limit)
                failure(closed ? "ce n'est pas un hub (connexion fermée sans réponse)."
                               : "ce n'est pas un hub (réponse illisible).");
            return;
        }
        const int status = status_of(*received);
        if (status != 200) {
            failure(status ? "ce n'est pas un hub (réponse HTTP " + QString::number(status) + ")."
                           : "ce n'est pas un hub (réponse illisible).");
            return;
        }
        const QByteArray body = received->mid(head_end + 4);
        if (closed || body.size() >= answer_limit)
            finish(HubAnswer {true, fold_blanks(body.left(answer_limit).toStdString()), QString()});
    };
    QObject::connect(deadline, &QTimer::timeout, socket,
                     [=] { failure("aucune réponse entière dans le délai (4,5 s)."); });
    QObject::connect(socket, &QTcpSocket::connected, socket, [=] {
        socket->write("GET /_infos/kl/ HTTP/1.0\r\nHost: " + where.toUtf8()
                      + "\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [=] {
        // Never more than a head and 4 KiB held, whatever the peer sends.
        received->append(socket->read(head_limit + answer_limit - received->size()));
        judge(false);
    });
    QObject::connect(socket, &QTcpSocket::errorOccurred, socket, [=](QAbstractSocket::SocketError error) {
        if (error == QAbstractSocket::RemoteHostClosedError) {
            received->append(socket->read(head_limit + answer_limit - received->size()));
            judge(true);
        } else if (error == QAbstractSocket::ConnectionRefusedError)
            failure("connexion refusée, aucun hub n'écoute là.");
        else
            failure("injoignable (" + socket->errorString() + ").");
    });
    deadline->start(answer_bound_ms);
    socket->connectToHost(target, quint16(port));
}

} // namespace

void ask_hub(QObject* context, const std::string& host, int port, std::function<void(const HubAnswer&)> done)
{
    const QString name = QString::fromStdString(host);
    const QHostAddress literal(name);
    if (!literal.isNull()) {
        ask_address(context, literal, host, port, done);
        return;
    }
    // Qt resolves in a thread of its own; the timer bounds the wait for it.
    auto pending = std::make_shared<bool>(true);
    auto* bound = new QTimer(context);
    bound->setSingleShot(true);
    const int id = QHostInfo::lookupHost(name, context, [=](const QHostInfo& info) {
        if (!*pending)
            return;
        *pending = false;
        bound->deleteLater();
        QHostAddress target;
        for (const QHostAddress& address : info.addresses())
            if (target.isNull() || (target.protocol() != QAbstractSocket::IPv4Protocol
                                    && address.protocol() == QAbstractSocket::IPv4Protocol))
                target = address;
        if (target.isNull()) {
            done(HubAnswer {false, std::string(), "Le nom « " + name + " » ne donne aucune adresse."});
            return;
        }
        ask_address(context, target, host, port, done);
    });
    QObject::connect(bound, &QTimer::timeout, context, [=] {
        if (!*pending)
            return;
        *pending = false;
        bound->deleteLater();
        QHostInfo::abortHostLookup(id);
        done(HubAnswer {false, std::string(), "Le nom « " + name + " » n'a pas été résolu dans le délai (3 s)."});
    });
    bound->start(resolve_bound_ms);
}
