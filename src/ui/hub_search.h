#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

class HubBrowser;
struct HubAddress;
struct HubAnswer;

// A hub that answered: its name and its address ("host:8000").
struct FoundHub
{
    std::string name;
    std::string address;
};

// The client's search, live: the hubs announced on DNS-SD, each confirmed by
// its answer to GET "/_infos/kl/"; where no DNS-SD daemon answers, the sweep
// of the subnet again and again, a swept hub staying while the latest sweep
// sees it; and the hubs the member named (typed, or remembered).
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
    // Asks the hub the member named; one that answers is listed until forgotten.
    // `told` (may be empty) hears the answer.
    void ask(const HubAddress& address, const std::function<void(const HubAnswer&)>& told);
    // A named hub no longer listed for being named (the search may still find it).
    void forget(const std::string& address);

signals:
    void hubs_changed();

private:
    void service_up(const QString& key, const QString& host, quint16 port, int tries);
    void service_down(const QString& key);

    void sweep();
    void sweep_ended(const std::vector<std::string>& servers, const std::vector<std::string>& names,
                     const std::string& failure);

    HubBrowser* browser;
    QTimer next_sweep;
    // Once DNS-SD is back, it alone tells: the sweep's hubs go after this grace.
    QTimer sweep_expiry;
    std::thread sweeper;
    bool sweeping = false;
    // Services announced now, by key; a confirmed one has its hub.
    std::map<QString, FoundHub> announced;
    std::map<QString, bool> confirmed;
    std::vector<FoundHub> swept;
    std::vector<FoundHub> named;
};
