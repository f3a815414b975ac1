#pragma once

#include <QString>

#include <functional>
#include <string>

class QObject;

// What a hub said to GET "/_infos/kl/": its name, or why it is no hub (in French).
struct HubAnswer
{
    bool hub = false;
    std::string name;
    QString failure;
};

// Asks host:port for "/_infos/kl/" with the bounds of every ask of the
// search: straight to the host (no proxy), 4 KiB of answer kept at most,
// status 200 only, and a deadline for the whole answer, not for each read. A
// host name is first resolved off the GUI thread, within its own bound; the
// ask itself is event-driven and never blocks the thread.
// `done` runs once, on `context`'s thread, unless `context` went first.
void ask_hub(QObject* context, const std::string& host, int port, std::function<void(const HubAnswer&)> done);
