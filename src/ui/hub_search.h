#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <map>
#include <string>
#include <thread>
#include <vector>

class HubBrowser;
class QNetworkAccessManager;

// A hub that answered: its name and its address ("host:8000").
struct FoundHub
{
    std::string name;
    std::string address;
};

// The client's search, live: the hubs announced on DNS-SD, each confirmed by
// its answer to GET "/_infos/kl/", and where no DNS-SD daemon answers, the
// sweep of the /24 again and again while nothing is found.
class HubSearch : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(HubSearch)

public:
    explicit HubSearch(QObject* parent = nullptr);
    // Waits for a sweep under way: its asks are bounded.
    ~HubSearch() override;

    void start();
    // The hubs known now, in address order: a hub keeps its place while
    // others come and go.
    std::vector<FoundHub> hubs() const;

signals:
    void hubs_changed();

private:
    void service_up(const QString& key, const QString& host, quint16 port, int tries);
    void service_down(const QString& key);
    void sweep();
    void sweep_ended(const std::vector<std::string>& servers, const std::vector<std::string>& names,
                     const std::string& failure);

    HubBrowser* browser;
    QNetworkAccessManager* web = nullptr;
    QTimer next_sweep;
    std::thread sweeper;
    bool sweeping = false;
    // Services announced now, by key; a confirmed one has its hub.
    std::map<QString, FoundHub> announced;
    std::map<QString, bool> confirmed;
    std::vector<FoundHub> swept;
};
