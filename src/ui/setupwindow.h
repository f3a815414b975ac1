#pragma once

#include <QDialog>

// The configuration dialog: the section tiles and the users section, whose
// form adds an administrator to one of the registry's networks.
class SetupWindow : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(SetupWindow)

public:
    explicit SetupWindow(QWidget* parent = nullptr);
    ~SetupWindow() override;

private:
    // Adds the administrator off the GUI thread; the dialog drops every
    // input meanwhile, a second press included.
    void save_administrator();
};

// Object names of the form's fields, in row order, and of its message line.
inline constexpr const char* setup_field_names[] = {"pseudonyme", "nom", "mot_de_passe", "confirmation"};
inline constexpr const char* setup_network_choice_name = "reseau";
inline constexpr const char* setup_message_name = "message_configuration";
