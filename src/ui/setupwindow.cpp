#include "setupwindow.h"

#include "busy_work.h"
#include "network_maker.h"
#include "screen_parts.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

#include <iostream>
#include <memory>

namespace {

QWidget* tile(const char* image, int width, int height, const char* caption)
{
    const QPixmap pixmap(image);
    auto* icon = new QLabel();
    icon->setPixmap(pixmap);
    icon->setScaledContents(true);
    icon->setFixedSize(width, height);
    icon->setAlignment(Qt::AlignCenter);

    auto* text = new QLabel(caption);
    text->setAlignment(Qt::AlignCenter);

    auto* widget = new QWidget();
    auto* layout = new QVBoxLayout();
    layout->addWidget(icon);
    layout->addWidget(text);
    layout->setAlignment(Qt::AlignCenter);
    layout->setContentsMargins(0, 0, 0, 0);
    widget->setLayout(layout);
    return widget;
}

} // namespace

SetupWindow::SetupWindow(QWidget* parent)
    : QDialog(parent)
{
    auto* outer = new QHBoxLayout();
    auto* tiles = new QVBoxLayout();
    tiles->setSpacing(30);

    QWidget* appearance = tile("img/image-regular.svg", 45, 40,
                               "<div style='color:black;text-align:center;'> Apparence </div>");
    QWidget* users = tile("img/users-solid.svg", 45, 40,
                          "<div style='color:#0072c6;text-align:center;'> Utilisateurs </div>");
    QWidget* folders = tile("img/folder-open-solid.svg", 50, 40,
                            "<div style='color:black;text-align:center;'> Repertoires </div>");
    // The network tile carries the folders caption, as the dialog has always shown.
    QWidget* network = tile("img/network-wired-solid.svg", 50, 40,
                            "<div style='color:black;text-align:center;'> Repertoires </div>");
    tiles->addWidget(appearance);
    tiles->addWidget(users);
    tiles->addWidget(folders);
    tiles->addWidget(network);
    auto* sidebar = new QWidget();
    sidebar->setLayout(tiles);
    sidebar->setStyleSheet("background-color: #fff; color: #333;");

    auto* content = new QWidget();
    auto* content_layout = new QVBoxLayout();
    content->setLayout(content_layout);
    content_layout->addWidget(new QLabel("Configuration des Utilisateurs"));
    content_layout->addWidget(
        new QLabel(" <div style='font-size:30px;font-weight:bold;'> Ajouter un super-utilisateur </div>"));
    content->setStyleSheet("background:#fff;");

    auto* pseudonym_label = new QLabel("Votre Pseudonyme :       ");
    auto* pseudonym = new QLineEdit();
    auto* name_label = new QLabel("Votre Nom :              ");
    auto* name = new QLineEdit();
    auto* password_label = new QLabel("Votre Mot de Passe :     ");
    auto* password = new QLineEdit();
    auto* confirmation_label = new QLabel("Confirmer Mot de Passe : ");
    auto* confirmation = new QLineEdit();
    auto* network_label = new QLabel("Selectionner un Reseau : ");
    auto* network_choice = new QComboBox();
    auto* save = new QPushButton("Enregistrer l'Administrateur");
    QLineEdit* const fields[] = {pseudonym, name, password, confirmation};
    for (int row = 0; row < 4; ++row)
        fields[row]->setObjectName(setup_field_names[row]);
    network_choice->setObjectName(setup_network_choice_name);
    password->setEchoMode(QLineEdit::Password);
    confirmation->setEchoMode(QLineEdit::Password);

    auto* form = new QWidget();
    auto* grid = new QGridLayout();
    form->setLayout(grid);
    grid->addWidget(pseudonym_label, 1, 1);
    grid->addWidget(pseudonym, 1, 2);
    grid->addWidget(name_label, 2, 1);
    grid->addWidget(name, 2, 2);
    grid->addWidget(password_label, 3, 1);
    grid->addWidget(password, 3, 2);
    grid->addWidget(confirmation_label, 4, 1);
    grid->addWidget(confirmation, 4, 2);
    grid->addWidget(network_label, 5, 1);
    grid->addWidget(network_choice, 5, 2);
    grid->addWidget(save, 6, 2);
    auto* message = new QLabel();
    message->setObjectName(setup_message_name);
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    grid->addWidget(message, 7, 2);

    // The registry's networks, their names as plain text; the folder rides along.
    for (const auto& record : registered_networks())
        network_choice->addItem(utf8(record.first), utf8(record.second));
    network_choice->setStyleSheet("border:nones;color:#333;font-weight:bold;");

    save->setStyleSheet("background:#333;color:#fff;margin-top:15px;padding:5px;");
    save->setAutoDefault(false);
    connect(save, &QPushButton::clicked, this, &SetupWindow::save_administrator);
    connect(confirmation, &QLineEdit::returnPressed, this, &SetupWindow::save_administrator);

    content_layout->addWidget(form);
    content_layout->setAlignment(Qt::AlignTop);

    outer->addWidget(sidebar);
    sidebar->setMaximumWidth(200);
    outer->addWidget(content);
    setLayout(outer);

    setWindowTitle("Configuration Kestrova");
    setFixedSize(800, 400);
}

SetupWindow::~SetupWindow()
{
    // A save still running reports to this dialog.
    BusyWork::wait_for(this);
}

void SetupWindow::save_administrator()
{
    if (BusyWork::busy(this))
        return;
    const auto text = [this](const char* name) { return findChild<QLineEdit*>(name)->text().toUtf8().toStdString(); };
    auto* choice = findChild<QComboBox*>(setup_network_choice_name);
    auto* message = findChild<QLabel*>(setup_message_name);
    NewAdministrator administrator;
    administrator.path = choice->currentData().toString().toUtf8().toStdString();
    administrator.pseudonym = text(setup_field_names[0]);
    administrator.name = text(setup_field_names[1]);
    administrator.password = text(setup_field_names[2]);
    administrator.confirmation = text(setup_field_names[3]);
    const QString network = choice->currentText();
    if (choice->currentIndex() < 0) {
        message->setStyleSheet("color:#c00;");
        message->setText("Aucun réseau n'est choisi : networks.data n'en compte aucun.");
        return;
    }
    message->setStyleSheet("color:#333;");
    message->setText("Enregistrement de l'administrateur…");
    auto refusal = std::make_shared<std::string>();
    BusyWork::run(
        this, [administrator, refusal] { *refusal = add_administrator(administrator); },
        [this, administrator, network, refusal, message](const std::string& failure) {
            const std::string reason = failure.empty() ? *refusal : failure;
            if (!reason.empty()) {
                std::cerr << reason << std::endl;
                message->setStyleSheet("color:#c00;");
                message->setText(utf8(reason));
                return;
            }
            for (int row = 2; row < 4; ++row)
                findChild<QLineEdit*>(setup_field_names[row])->clear();
            message->setStyleSheet("color:#070;");
            message->setText(QString::fromUtf8("L'administrateur « ") + utf8(administrator.pseudonym)
                             + QString::fromUtf8(" » est enregistré dans le réseau « ") + network
                             + QString::fromUtf8(" » : il se connecte à /admin/ depuis cet ordinateur."));
        });
}
