#include "networkselectionwindow.h"

#include "busy_work.h"
#include "hub_utilities.h"
#include "keeper_tools.h"
#include "network.h"
#include "new_network_form.h"
#include "screen_parts.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLinearGradient>
#include <QMovie>
#include <QPalette>
#include <QPixmap>
#include <QPushButton>
#include <QSignalMapper>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <iostream>
#include <memory>

NetworkSelectionWindow::NetworkSelectionWindow(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle("Accueil Kestrova");
    // What the launcher could not prepare in the working folder (a full disk).
    failure_text = QString::fromUtf8(qgetenv("KESTROVA_PREPARATION"));
    qunsetenv("KESTROVA_PREPARATION");
    main_mode();
    setFixedSize(800, 400);
}

NetworkSelectionWindow::~NetworkSelectionWindow()
{
    // A launch or stop still running uses the networks and the server control.
    BusyWork::wait_for(this);
    free_networks();
}

void NetworkSelectionWindow::free_networks()
{
    for (Network* network : networks)
        delete network;
    networks.clear();
}

void NetworkSelectionWindow::main_mode()
{
    setStyleSheet(" background: #fff;");
    setWindowTitle("Accueil Kestrova");

    auto* main_layout = new QVBoxLayout();
    auto* row = new QWidget();
    auto* row_layout = new QHBoxLayout(row);

    auto* picture = new QLabel();
    picture->setPixmap(QPixmap("img/people.jpeg"));
    picture->setScaledContents(true);
    picture->setFixedSize(400, 328);

    auto* column = new QWidget();
    auto* column_layout = new QVBoxLayout(column);

    auto* banner = new QLabel(
        "<div><span style='font-size:60px;'> Kestrova </span></div> <div "
        "style='margin-top:1px;text-align:center;'> Modernisez la Gestion de vos ressources ");
    banner->setWordWrap(true);

    auto* network_box = new QWidget();
    auto* network_box_layout = new QVBoxLayout(network_box);
    auto* create_network = new QLabel("<div style='color:blue;'><b> + Creer un Nouveau Reseau </b></div>");
    make_activatable(create_network, [this] {
        clean_screen();
        new_network_mode();
    });
    network_box_layout->addWidget(create_network);
    network_box_layout->addWidget(new QLabel("<div>Reseaux disponibles </div>"));

    // Each main screen lists the registry as it is now, once.
    free_networks();
    read_hub_networks(&networks);

    auto* mapper = new QSignalMapper(this);
    auto* list = new NetworkList(network_box);
    QPushButton* first = nullptr;
    for (std::size_t i = 0; i < networks.size(); ++i) {
        QPushButton* button = list->add_button(networks[i]->name);
        connect(button, SIGNAL(clicked()), mapper, SLOT(map()));
        mapper->setMapping(button, static_cast<int>(i));
        std::cout << i + 1 << "\n";
        if (!first)
            first = button;
    }
    network_box_layout->addWidget(list);
    std::cout.flush();
    connect(mapper, SIGNAL(mapped(int)), this, SLOT(fuck_tho(int)));
    if (!failure_text.isEmpty()) {
        auto* failure = new QLabel(failure_text);
        failure->setTextFormat(Qt::PlainText);
        failure->setWordWrap(true);
        failure->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        failure->setStyleSheet("color: red;");
        network_box_layout->addWidget(failure);
        if (!failure_lines.isEmpty())
            network_box_layout->addWidget(server_lines_view(failure_lines));
    }

    column_layout->addWidget(banner);
    column_layout->addWidget(network_box);
    QLabel* configuration = configuration_label(this);
    column_layout->addWidget(configuration);
    row_layout->addWidget(picture);
    row_layout->addWidget(column);
    main_layout->addWidget(row);
    setLayout(main_layout);
    setTabOrder(create_network, configuration);
    // Keyboard focus still starts on the first network, and Tab reaches the
    // label after the last one. Window flags set after construction clear
    // the focus: give it once the event loop runs.
    if (first) {
        first->setFocus();
        QTimer::singleShot(0, first, [first] { first->setFocus(); });
    }
}

void NetworkSelectionWindow::clean_screen()
{
    remove_layouts(nullptr);
}

void NetworkSelectionWindow::remove_layouts(QWidget*)
{
    remove_screen(this);
}

void NetworkSelectionWindow::loading_mode(const char* what)
{
    auto* animation = new QLabel();
    auto* movie = new QMovie("img/loading.gif", QByteArray(), animation);
    auto* text = new QLabel(
        QString("<div style='font-size:25px;text-align:center;'>Mise en place de "
                "l'environnement...</div> <div> ")
        + what);

    animation->setScaledContents(true);
    animation->setFixedSize(300, 200);
    movie->setScaledSize(animation->size());

    auto* loading_layout = new QHBoxLayout();
    loading_layout->addWidget(animation);
    loading_layout->addWidget(text);
    setLayout(loading_layout);

    animation->setMovie(movie);
    movie->start();
}

void NetworkSelectionWindow::switch_to_network(Network* network)
{
    if (BusyWork::busy(this))
        return;
    remove_layouts(nullptr);
    loading_mode();
    // The launch and the wait run off the GUI thread: the loading screen
    // moves, and clicks made meanwhile are dropped, not replayed on the panel.
    auto outcome = std::make_shared<LaunchOutcome>(LaunchOutcome::failed);
    BusyWork::run(
        this,
        [this, network, outcome] {
            *outcome = server.launch(*network);
            if (*outcome == LaunchOutcome::started || *outcome == LaunchOutcome::already_running)
                server.wait_before_browser();
        },
        [this, network, outcome](const std::string& failure) {
            if (!failure.empty()) {
                // A command pipe that cannot be opened must not end the program.
                const std::string said = "Le démarrage du réseau a échoué : " + failure;
                std::cerr << said << std::endl;
                back_to_main(said);
                return;
            }
            if (*outcome == LaunchOutcome::failed || *outcome == LaunchOutcome::port_taken) {
                back_to_main(server.told(), server.server_lines());
                return;
            }
            failure_text.clear();
            remove_layouts(nullptr);
            space_address = QUrl(utf8(server.browser_address()), QUrl::TolerantMode);
            QDesktopServices::openUrl(space_address);
            network_started_mode(network);
#ifdef KESTROVA_WINDOWS_BUILD
            std::cout << "sdsds" << std::flush;
#endif
        });
}

void NetworkSelectionWindow::back_to_main(const std::string& failure, const std::string& lines)
{
    failure_text = QString::fromUtf8(failure.c_str());
    // The first line keeps its indent; only the last line end goes.
    failure_lines = utf8(lines);
    failure_lines.chop(failure_lines.endsWith('\n') ? 1 : 0);
    remove_layouts(nullptr);
    main_mode();
}

void NetworkSelectionWindow::network_started_mode(Network* network)
{
    const std::string name = network ? network->name : std::string();
    setStyleSheet("");

    QPalette palette;
    QLinearGradient gradient(0, 0, 0, height());
    gradient.setColorAt(0, QColor("#0072c6"));
    gradient.setColorAt(0, QColor("#3399ff"));
    palette.setBrush(QPalette::Window, QBrush(gradient));
    setAutoFillBackground(true);
    setPalette(palette);

    auto* panel_layout = new QVBoxLayout(this);
    panel_layout->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    panel_layout->setSpacing(20);

#ifdef KESTROVA_WINDOWS_BUILD
    QLabel* animation = animation_label("img/fuseum.gif", 130, 130);
#else
    QLabel* animation = animation_label("fuseum.gif", 130, 130);
#endif
    auto* animation_row = new QWidget();
    auto* animation_row_layout = new QHBoxLayout(animation_row);
    animation_row_layout->addWidget(animation);
    animation_row_layout->setAlignment(Qt::AlignCenter);
    panel_layout->addWidget(animation_row);

    auto* title = new QLabel("Votre Serveur est Pret");
    title->setStyleSheet("color: white;");
    title->setAlignment(Qt::AlignCenter);
    panel_layout->addWidget(title);

    auto* open_space = new QPushButton("Acceder a mon Espace");
    open_space->setStyleSheet("QPushButton { background-color: white; color: #0072c6; padding: "
                              "10px 20px; border: none; border-radius: 5px; }");
    auto* stop = new QPushButton("Arreter le Serveur");
    stop->setStyleSheet("QPushButton { background-color: red; color: white; padding: 10px 20px; "
                        "border: none; border-radius: 5px; }");
    auto* buttons_layout = new QHBoxLayout();
    auto* buttons = new QWidget();
    buttons_layout->addWidget(open_space);
    buttons_layout->addWidget(stop);
    buttons->setLayout(buttons_layout);
    panel_layout->addWidget(buttons);
    connect(stop, &QPushButton::clicked, this, &NetworkSelectionWindow::stop_network);
    connect(open_space, &QPushButton::clicked, this, [this] { QDesktopServices::openUrl(space_address); });

    // The address members type is the one the server listens on.
    const QString details =
        "<div style='margin-bottom:10px;color:white;'> <b> Reseau : </b> " + as_text(name) + " </div>"
        + "<div style='margin-bottom:10px;color:white;'> <b> Adresse : </b> "
        + space_address.host().toHtmlEscaped() + " </div>"
        + "<div style='margin-bottom:10px;color:white;'> <b> Port : </b> 8000 </div>";
    panel_layout->addWidget(new QLabel(details));

    // "[*]" in a title marks where Qt shows an unsaved change; "[*][*]" shows it.
    setWindowTitle("Kestrova : " + utf8(name).replace("[*]", "[*][*]"));
}

void NetworkSelectionWindow::new_network_mode()
{
    setStyleSheet(" background: #fff;");
    setWindowTitle("Accueil Kestrova");

    auto* form_screen = new QVBoxLayout();
    auto* back = new QLabel("<a href='#'>Retour a la Selection</a> ");
    connect(back, &QLabel::linkActivated, this, [this] {
        // The registry is read afresh; leave the link's event before it goes.
        QTimer::singleShot(0, this, [this] {
            clean_screen();
            main_mode();
        });
    });
    form_screen->addWidget(back);
    form_screen->addWidget(
        new QLabel(" <div style='font-size:30px;font-weight:bold;'> Nouveau Reseau </div>"));

    const char* const labels[] = {
        "Nom du Réseau :               ",
        "Chemin d'Acces :              ",
        "Pseudo de l'Administrateur :  ",
        "Mot de Passe de l'Administrateur : ",
        "Confirmation de Mot de Passe : ",
    };
    QLineEdit* fields[5];
    for (int row = 0; row < 5; ++row) {
        fields[row] = new QLineEdit();
        fields[row]->setObjectName(new_network_field_names[row]);
    }
    fields[3]->setEchoMode(QLineEdit::Password);
    fields[4]->setEchoMode(QLineEdit::Password);

    auto* form = new QWidget();
    auto* grid = new QGridLayout(form);
    for (int row = 1; row <= 5; ++row) {
        grid->addWidget(new QLabel(QString::fromUtf8(labels[row - 1])), row, 1);
        grid->addWidget(fields[row - 1], row, 2);
    }
    auto* save = new QPushButton("Enregistrer le Reseau");
    save->setStyleSheet("background:#333;color:#fff;margin-top:15px;padding:5px;");
    grid->addWidget(save, 6, 2);
    auto* message = new QLabel();
    message->setObjectName(new_network_message_name);
    message->setStyleSheet("color:#c00;");
    message->setWordWrap(true);
    grid->addWidget(message, 7, 2);

    // Enter walks down the rows and saves from the last one; the dialog's
    // default button must not save from any field.
    save->setAutoDefault(false);
    for (int row = 0; row < 4; ++row)
        connect(fields[row], &QLineEdit::returnPressed, fields[row + 1], [next = fields[row + 1]] { next->setFocus(); });
    const auto save_later = [this] { QTimer::singleShot(0, this, [this] { save_new_network(); }); };
    connect(fields[4], &QLineEdit::returnPressed, this, save_later);
    connect(save, &QPushButton::clicked, this, save_later);

    form_screen->addWidget(form);
    setLayout(form_screen);
    fields[0]->setFocus();
}

void NetworkSelectionWindow::save_new_network()
{
    if (BusyWork::busy(this) || !findChild<QLineEdit*>(new_network_field_names[0]))
        return;
    const NewNetwork network = read_new_network_form(this);
    remove_layouts(nullptr);
    loading_mode("Creation du Reseau");
    auto refusal = std::make_shared<std::string>();
    BusyWork::run(
        this, [network, refusal] { *refusal = make_new_network(network); },
        [this, network, refusal](const std::string& failure) {
            const std::string reason = failure.empty() ? *refusal : failure;
            remove_layouts(nullptr);
            if (reason.empty()) {
                main_mode();
                return;
            }
            std::cerr << reason << std::endl;
            new_network_mode();
            refill_new_network_form(this, network, utf8(reason));
        });
}

void NetworkSelectionWindow::fuck_tho(int n)
{
    switch_to_network(networks[static_cast<std::size_t>(n)]);
}

void NetworkSelectionWindow::stop_network()
{
    if (BusyWork::busy(this))
        return;
    remove_layouts(nullptr);
    loading_mode("Arret du Serveur");
    auto stopped = std::make_shared<bool>(false);
    BusyWork::run(
        this, [this, stopped] { *stopped = server.stop(); },
        [this, stopped](const std::string& failure) {
            if (!failure.empty())
                std::cerr << "L'arrêt du serveur a échoué : " << failure << std::endl;
            back_to_main(!failure.empty() ? "L'arrêt du serveur a échoué : " + failure
                                          : *stopped ? std::string() : server.told());
        });
}

void NetworkSelectionWindow::testBtn()
{
    auto* button = qobject_cast<QPushButton*>(sender());
    (void)button;
    std::cout << "dsdsd" << std::flush;
}
