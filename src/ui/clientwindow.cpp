#include "clientwindow.h"

#ifndef KESTROVA_WINDOWS_BUILD
#include "address_field.h"
#include "hub_address.h"
#include "hub_ask.h"
#include "hub_search.h"
#include "remembered_hubs.h"
#endif
#include "hub_utilities.h"
#include "network.h"
#include "screen_parts.h"

#include <QAction>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPalette>
#include <QPushButton>
#include <QSignalMapper>
#include <QTimer>
#include <QUrl>
#include <QVariant>
#include <QVBoxLayout>

namespace {

#ifdef KESTROVA_WINDOWS_BUILD
const QSize window_size(800, 400);
const char* const searching_animation = "img/wifi.gif";
const char* const connected_animation = "img/fuseum.gif";
#else
const QSize window_size(600, 400);
const char* const searching_animation = "wifi.gif";
const char* const connected_animation = "fuseum.gif";
#endif

// The host of a hub's address, without its port (and an IPv6 host without
// its brackets).
std::string host_of(const std::string& address)
{
    const std::string::size_type colon = address.rfind(':');
    if (colon == std::string::npos || address.find_first_not_of("0123456789", colon + 1) != std::string::npos)
        return address;
    const std::string host = address.substr(0, colon);
    if (host.size() > 1 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host.find(':') == std::string::npos ? host : address;
}

#ifndef KESTROVA_WINDOWS_BUILD
void open_in_browser(const std::string& address)
{
    QDesktopServices::openUrl(QUrl(utf8("http://" + address), QUrl::TolerantMode));
}
#endif

} // namespace

ClientWindow::ClientWindow(QWidget* parent)
    : QDialog(parent)
{
    setStyleSheet(" background: #fff;");
    setWindowTitle("Recherche de Reseaux");
#ifndef KESTROVA_WINDOWS_BUILD
    field = new AddressField(this);
    connect(field, &AddressField::asked, this, [this](const QString& text) { ask_typed(text); });
#endif
    searching_networks_mode();
    setFixedSize(window_size);
#ifndef KESTROVA_WINDOWS_BUILD
    search = new HubSearch(this);
    connect(search, &HubSearch::hubs_changed, this, [this] { show_hubs(); });
    // Once the event loop runs: the window is shown before anything is asked.
    QTimer::singleShot(0, search, &HubSearch::start);
    QTimer::singleShot(0, this, [this] { ask_remembered(); });
#endif
}

ClientWindow::~ClientWindow()
{
    for (Network* network : networks)
        delete network;
}

void ClientWindow::searching_networks_mode()
{
    auto* searching_layout = new QVBoxLayout(this);
    searching_layout->setSpacing(0);
    searching_layout->setContentsMargins(0, 0, 0, 0);
    searching_layout->setAlignment(Qt::AlignCenter | Qt::AlignTop);

    QLabel* animation = animation_label(searching_animation, 335, 335);
    auto* message = new QLabel(
        "<div style='font-size:24px;color:blue;margin-bottom:30px;  '> Recherche d'un Reseau "
        "disponible ... </div>");
    animation->setContentsMargins(0, 0, 0, 0);
    animation->setAlignment(Qt::AlignCenter);
    message->setContentsMargins(0, 0, 0, 0);
    message->setAlignment(Qt::AlignCenter);

    auto* animation_row = new QWidget();
    auto* animation_row_layout = new QHBoxLayout(animation_row);
    animation_row_layout->addWidget(animation);
    animation_row_layout->setAlignment(Qt::AlignCenter);

    auto* spacer = new QLabel(
        "<div style='margin-bottom:10px;'> </div><div style='margin-bottom:20px;'> </div>");

    searching_layout->addWidget(animation_row);
    searching_layout->addWidget(message);
    searching_layout->addWidget(spacer);
#ifndef KESTROVA_WINDOWS_BUILD
    place_address_field(searching_layout);
#endif
}

void ClientWindow::selecting_networks_mode()
{
    auto* list = new QWidget();
    auto* select = new QLabel("<div>Selectionner un Reseau </div>");
    auto* list_layout = new QVBoxLayout();
    auto* selection_layout = new QVBoxLayout();
    auto* title =
        new QLabel("<div><span style='font-size:40px;'> Liste des Reseaux disponibles </span></div>");
    title->setWordWrap(true);

    list->setLayout(list_layout);
    list_layout->addWidget(select);
    selection_layout->addWidget(title);
    selection_layout->addWidget(list);
    selection_layout->setAlignment(Qt::AlignTop);
    setLayout(selection_layout);

    setStyleSheet("");
    QPalette palette;
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, QColor("#ffffff"));
    gradient.setColorAt(0, QColor("#fefefe"));
    palette.setBrush(QPalette::Window, QBrush(gradient));
    setAutoFillBackground(true);
    setPalette(palette);

    auto* buttons = new NetworkList(list);
#ifdef KESTROVA_WINDOWS_BUILD
    // This build has no search: it lists this computer's own networks.
    std::vector<Network*> registry;
    read_hub_networks(&registry);
    for (Network* network : registry) {
        buttons->add_button(network->name);
        delete network;
    }
#else
    // A rebuilt list replaces the previous list's mapper.
    delete findChild<QSignalMapper*>(QString(), Qt::FindDirectChildrenOnly);
    auto* mapper = new QSignalMapper(this);
    for (std::size_t i = 0; i < networks.size(); ++i) {
        QPushButton* button = buttons->add_button(networks[i]->name);
        connect(button, SIGNAL(clicked()), mapper, SLOT(map()));
        mapper->setMapping(button, static_cast<int>(i));
        // Its context menu forgets it: the list stays what the search shows.
        auto* forget = new QAction("Oublier ce hub", button);
        const std::string address = networks[i]->address;
        connect(forget, &QAction::triggered, this, [this, address] {
            HubAddress where;
            read_hub_address(address, &where);
            const QString failure = forget_hub(where.host, where.port);
            if (!failure.isEmpty())
                field->tell(failure, true);
            search->forget(address);
        });
        button->addAction(forget);
        button->setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    connect(mapper, SIGNAL(mapped(int)), this, SLOT(launch_netw(int)));
    place_address_field(selection_layout);
    // The keys stay where the member types; elsewhere they start on the first hub.
    if (!networks.empty() && !field->has_focus())
        qobject_cast<QWidget*>(mapper->mapping(0))->setFocus();
#endif
    list_layout->addWidget(buttons);
}

void ClientWindow::network_selected_mode()
{
    auto* connected_layout = new QVBoxLayout(this);
    connected_layout->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    connected_layout->setSpacing(20);

    QLabel* animation = animation_label(connected_animation, 130, 130);
    auto* animation_row = new QWidget();
    auto* animation_row_layout = new QHBoxLayout(animation_row);
    animation_row_layout->addWidget(animation);
    animation_row_layout->setAlignment(Qt::AlignCenter);
    connected_layout->addWidget(animation_row);

    auto* connected = new QLabel("Vous etes connecte au reseau");
    connected->setStyleSheet("color: #0072c6;");
    connected->setAlignment(Qt::AlignCenter);
    connected_layout->addWidget(connected);

    auto* open_space = new QPushButton("Acceder a mon Espace");
    open_space->setStyleSheet("QPushButton {  color: white; background-color: #0072c6; padding: "
                              "10px 20px; border: none; border-radius: 5px; }");
    auto* back = new QPushButton("Selection des Reseaux");
    back->setStyleSheet("QPushButton { background-color: orange; color: #333; padding: 10px 20px; "
                        "border: none; border-radius: 5px; }");
    auto* buttons_layout = new QHBoxLayout();
    auto* buttons = new QWidget();
    buttons_layout->addWidget(open_space);
    buttons_layout->addWidget(back);
    buttons->setLayout(buttons_layout);
    connected_layout->addWidget(buttons);
#ifndef KESTROVA_WINDOWS_BUILD
    connect(open_space, &QPushButton::clicked, this, [this] { open_in_browser(opened_address); });
    connect(back, &QPushButton::clicked, this, [this] {
        // The press's own event ends before its button goes.
        QTimer::singleShot(0, this, [this] {
            this->connected = false;
            show_list();
        });
    });
#endif

    const QString details = "<div style='margin-bottom:10px;color:whites;'> <b> Reseau : </b> "
                            + as_text(opened_name) + " </div>"
                            + "<div style='margin-bottom:10px;color:whites;'> <b> Hote : </b> "
                            + as_text(host_of(opened_address)) + " </div>";
    connected_layout->addWidget(new QLabel(details));

    setWindowTitle("Interface Client");
}

#ifndef KESTROVA_WINDOWS_BUILD
void ClientWindow::remove_layouts(QWidget*)
{
    // The field outlives the screens, with what the member typed in it.
    if (layout())
        layout()->removeWidget(field);
    field->hide();
    remove_screen(this);
}

void ClientWindow::place_address_field(QBoxLayout* screen)
{
    screen->addWidget(field);
    field->show();
}

void ClientWindow::ask_typed(const QString& text)
{
    HubAddress where;
    const std::string fault = read_hub_address(text.toStdString(), &where);
    if (!fault.empty()) {
        field->tell(utf8(fault), true);
        return;
    }
    const std::string address = hub_address_text(where);
    field->tell(utf8("Demande à " + address + " …"), false);
    // The answer comes through the search, which the window owns: the window is still there.
    search->ask(where, [this, address](const HubAnswer& answer) {
        if (!answer.hub) {
            field->tell(answer.failure, true);
            return;
        }
        field->tell(utf8("Hub trouvé à " + address + " : " + answer.name), false);
        // Written once the button is drawn: the file's sync costs a millisecond or more.
        QTimer::singleShot(0, this, [this, address, name = answer.name] { remember(address, name); });
        // Its button takes the keys: space opens it.
        auto* mapper = findChild<QSignalMapper*>(QString(), Qt::FindDirectChildrenOnly);
        for (std::size_t i = 0; mapper && !connected && i < networks.size(); ++i)
            if (networks[i]->address == address)
                qobject_cast<QWidget*>(mapper->mapping(int(i)))->setFocus(Qt::OtherFocusReason);
    });
}

void ClientWindow::ask_remembered()
{
    QString told;
    for (const RememberedHub& hub : remembered_hubs(&told))
        search->ask(HubAddress {hub.host, hub.port}, nullptr);
    if (!told.isEmpty())
        field->tell(told, true);
}

void ClientWindow::remember(const std::string& address, const std::string& name)
{
    HubAddress where;
    if (!read_hub_address(address, &where).empty())
        return;
    const QString failure = remember_hub(RememberedHub {where.host, where.port, name});
    if (!failure.isEmpty())
        field->tell(failure, true);
}

void ClientWindow::show_hubs()
{
    const std::vector<FoundHub> hubs = search->hubs();
    bool same = hubs.size() == networks.size();
    for (std::size_t i = 0; same && i < hubs.size(); ++i)
        same = hubs[i].name == networks[i]->name && hubs[i].address == networks[i]->address;
    if (same)
        return;
    for (Network* network : networks)
        delete network;
    networks.clear();
    servers.clear();
    for (const FoundHub& hub : hubs) {
        servers.push_back(hub.address);
        networks.push_back(new Network(hub.name, std::string(), hub.address));
    }
    // The connected screen has no list to follow.
    if (!connected)
        show_list();
}

void ClientWindow::show_list()
{
    setWindowTitle("Recherche de Reseaux");
    remove_layouts(nullptr);
    if (!networks.empty()) {
        selecting_networks_mode();
        return;
    }
    setAutoFillBackground(false);
    setPalette(QPalette());
    setStyleSheet(" background: #fff;");
    searching_networks_mode();
}

void ClientWindow::go_to_network(std::string address)
{
    open_in_browser(address);
    opened_address = address;
    opened_name.clear();
    for (const Network* network : networks)
        if (network->address == address) {
            opened_name = network->name;
            break;
        }
    remove_layouts(nullptr);
    connected = true;
    network_selected_mode();
}

void ClientWindow::launch_netw(int n)
{
    if (n < 0 || static_cast<std::size_t>(n) >= networks.size())
        return;
    const Network* chosen = networks[static_cast<std::size_t>(n)];
    remember(chosen->address, chosen->name);
    go_to_network(chosen->address);
}
#endif
