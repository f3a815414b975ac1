#pragma once

#include "network_maker.h"

#include <QString>

#include <functional>

class QLabel;
class QWidget;

// Lets a label be activated like a button, keeping its text and look: the
// pointer cursor over it, a place in the Tab order, a click, Enter or Space.
// `activated` runs from the event loop, after the event that asked for it,
// so that it may tear down the screen that holds the label.
void make_activatable(QLabel* label, std::function<void()> activated);

// The new network form's fields, found on the window that shows it.
NewNetwork read_new_network_form(const QWidget* window);
// Puts back what was typed and says why the form came back.
void refill_new_network_form(QWidget* window, const NewNetwork& network, const QString& message);

// Object names of the form's fields and of its message line, in row order.
inline constexpr const char* new_network_field_names[] = {
    "nom_du_reseau", "chemin_d_acces", "pseudo_administrateur", "mot_de_passe", "confirmation_mot_de_passe"};
inline constexpr const char* new_network_message_name = "message_nouveau_reseau";
