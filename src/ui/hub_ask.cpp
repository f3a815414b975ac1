#include "hub_ask.h"

#include "discovery_commands.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

// As the sweep's curl --max-time: the whole answer, from the first byte sent.
const int answer_bound_ms = 4500;
const qint64 answer_limit = 4096;
const int resolve_bound_ms = 3000;

QString shown(const std::string& host, int port)
{
    const QString name = QString::fromStdString(host);
    return (name.contains(':') ? "[" + name + "]" : name) + ":" + QString::number(port);
}

void ask_address(QNetworkAccessManager* web, QObject* context, const QHostAddress& target, const std::string& host,
                 int port, const std::function<void(const HubAnswer&)>& done)
{
    QUrl url;
    url.setScheme("http");
    url.setHost(target.toString());
    url.setPort(port);
    url.setPath("/_infos/kl/");
    QNetworkRequest request(url);
    // The hub sees the name the member gave, as a browser would send it.
    request.setRawHeader("Host", shown(host, port).toUtf8());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    QNetworkReply* reply = web->get(request);
    // Memory stays bounded whatever the peer sends: Qt buffers no more than this.
    reply->setReadBufferSize(answer_limit);
    auto body = std::make_shared<QByteArray>();
    auto timed_out = std::make_shared<bool>(false);
    auto whole = std::make_shared<bool>(false);
    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply, timed_out] {
        *timed_out = true;
        reply->abort();
    });
    deadline->start(answer_bound_ms);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body, whole] {
        body->append(reply->read(answer_limit - body->size()));
        // The first 4 KiB are the answer: a peer that streams on is cut there.
        if (body->size() >= answer_limit) {
            *whole = true;
            reply->abort();
        }
    });
    const QPointer<QObject> alive(context);
    QObject::connect(reply, &QNetworkReply::finished, reply, [=] {
        reply->deleteLater();
        deadline->stop();
        if (!alive)
            return;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        HubAnswer answer;
        const QString where = shown(host, port);
        if (*timed_out)
            answer.failure = where + " : aucune réponse entière dans le délai (4,5 s).";
        else if ((reply->error() == QNetworkReply::NoError || *whole) && status == 200) {
            body->append(reply->read(answer_limit - body->size()));
            answer.hub = true;
            answer.name = fold_blanks(body->toStdString());
        } else if (reply->error() == QNetworkReply::ConnectionRefusedError)
            answer.failure = where + " : connexion refusée, aucun hub n'écoute là.";
        else if (status != 0)
            answer.failure = where + " : ce n'est pas un hub (réponse HTTP " + QString::number(status) + ").";
        else if (reply->error() == QNetworkReply::RemoteHostClosedError)
            answer.failure = where + " : ce n'est pas un hub (connexion fermée sans réponse).";
        else
            answer.failure = where + " : injoignable.";
        done(answer);
    });
}

} // namespace

void ask_hub(QNetworkAccessManager* web, QObject* context, const std::string& host, int port,
             std::function<void(const HubAnswer&)> done)
{
    const QString name = QString::fromStdString(host);
    const QHostAddress literal(name);
    if (!literal.isNull()) {
        ask_address(web, context, literal, host, port, done);
        return;
    }
    // Qt resolves in a thread of its own; the timer bounds the wait for it.
    auto pending = std::make_shared<bool>(true);
    auto* bound = new QTimer(context);
    bound->setSingleShot(true);
    const QPointer<QNetworkAccessManager> manager(web);
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
        if (target.isNull() || !manager) {
            done(HubAnswer {false, std::string(), "Le nom « " + name + " » ne donne aucune adresse."});
            return;
        }
        ask_address(manager, context, target, host, port, done);
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
