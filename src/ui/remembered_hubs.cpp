#include "remembered_hubs.h"

#include "hub_address.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

const int most_remembered = 32;
// Far more than 32 entries ever take: anything bigger is not ours.
const qint64 largest_file = 1024 * 1024;

QString file_path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/kestrova/hubs-connus.json";
}

bool same_place(const RememberedHub& hub, const std::string& host, int port)
{
    return hub.host == host && hub.port == port;
}

// The entries of the file, or false when it is not what this program writes.
bool read_entries(const QByteArray& text, std::vector<RememberedHub>* hubs)
{
    QJsonParseError error {};
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()
        || !document.object().value("hubs").isArray())
        return false;
    for (const QJsonValue& value : document.object().value("hubs").toArray()) {
        const QJsonObject entry = value.toObject();
        RememberedHub hub;
        hub.host = entry.value("hote").toString().toStdString();
        hub.port = entry.value("port").toInt(-1);
        hub.name = entry.value("nom").toString().toStdString();
        // Only what the address field itself would accept goes on to an ask.
        HubAddress address;
        if (!value.isObject() || hub.port < 1 || hub.port > 65535
            || !read_hub_address(hub_address_text(HubAddress {hub.host, hub.port}), &address)
                    .empty()
            || address.host != hub.host)
            return false;
        hubs->push_back(hub);
    }
    if (hubs->size() > std::size_t(most_remembered))
        hubs->erase(hubs->begin(), hubs->end() - most_remembered);
    return true;
}

QString write_entries(const std::vector<RememberedHub>& hubs)
{
    QJsonArray entries;
    for (const RememberedHub& hub : hubs)
        entries.append(QJsonObject {{"hote", QString::fromStdString(hub.host)},
                                    {"port", hub.port},
                                    {"nom", QString::fromStdString(hub.name)}});
    const QString path = file_path();
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(QJsonObject {{"hubs", entries}}).toJson()) < 0 || !file.commit())
        return "Les hubs connus n'ont pas pu être enregistrés dans " + path + " : " + file.errorString();
    return QString();
}

} // namespace

std::vector<RememberedHub> remembered_hubs(QString* told)
{
    std::vector<RememberedHub> hubs;
    QFile file(file_path());
    if (!file.exists())
        return hubs;
    const bool opened = file.open(QIODevice::ReadOnly);
    if (opened && file.size() <= largest_file && read_entries(file.read(largest_file), &hubs))
        return hubs;
    hubs.clear();
    if (!opened) {
        *told = "Les hubs connus n'ont pas pu être lus dans " + file.fileName() + " : " + file.errorString();
        return hubs;
    }
    file.close();
    // Set aside rather than removed: the member may want to look at it.
    const QString aside =
        file.fileName() + ".abime-" + QDateTime::currentDateTime().toString("yyyyMMdd-hhmmss-zzz");
    if (QFile::rename(file.fileName(), aside))
        *told = "Le fichier des hubs connus était abîmé : mis de côté sous " + aside + ".";
    else
        *told = "Le fichier des hubs connus " + file.fileName() + " est abîmé et n'a pas pu être mis de côté.";
    return hubs;
}

QString remember_hub(const RememberedHub& hub)
{
    QString told;
    std::vector<RememberedHub> hubs = remembered_hubs(&told);
    hubs.erase(std::remove_if(hubs.begin(), hubs.end(),
                              [&](const RememberedHub& known) { return same_place(known, hub.host, hub.port); }),
               hubs.end());
    hubs.push_back(hub);
    if (hubs.size() > std::size_t(most_remembered))
        hubs.erase(hubs.begin());
    const QString failure = write_entries(hubs);
    return failure.isEmpty() ? told : failure;
}

QString forget_hub(const std::string& host, int port)
{
    QString told;
    std::vector<RememberedHub> hubs = remembered_hubs(&told);
    const auto gone = std::remove_if(hubs.begin(), hubs.end(),
                                     [&](const RememberedHub& known) { return same_place(known, host, port); });
    if (gone == hubs.end())
        return told;
    hubs.erase(gone, hubs.end());
    const QString failure = write_entries(hubs);
    return failure.isEmpty() ? told : failure;
}
