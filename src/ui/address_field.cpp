#include "address_field.h"

#include <QApplication>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>

#include <iostream>

AddressField::AddressField(QWidget* parent)
    : QWidget(parent), edit(new QLineEdit()), ask_button(new QPushButton("Ajouter")), message(new QLabel())
{
    edit->setPlaceholderText("Adresse d'un hub : 192.168.1.20, hub.local:8000 ou un lien http://");
    // A pasted link is never longer than this; more is refused anyway.
    edit->setMaxLength(8192);
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(12, 4, 12, 4);
    layout->addWidget(edit, 0, 0);
    layout->addWidget(ask_button, 0, 1);
    layout->addWidget(message, 1, 0, 1, 2);
    connect(edit, &QLineEdit::returnPressed, this, [this] { emit asked(edit->text()); });
    connect(ask_button, &QPushButton::clicked, this, [this] { emit asked(edit->text()); });
    // As a browser's address bar; active only while the field is shown.
    auto* go_to_field = new QShortcut(QKeySequence(Qt::CTRL + Qt::Key_L), this);
    connect(go_to_field, &QShortcut::activated, this, [this] {
        edit->setFocus(Qt::ShortcutFocusReason);
        edit->selectAll();
    });
}

bool AddressField::has_focus() const
{
    return isAncestorOf(QApplication::focusWidget());
}

void AddressField::tell(const QString& text, bool failure)
{
    if (failure)
        std::cerr << text.toStdString() << std::endl;
    message->setStyleSheet(failure ? "color: #b00020;" : "color: #0072c6;");
    message->setText(text);
}
