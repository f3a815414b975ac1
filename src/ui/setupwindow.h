#pragma once

#include <QDialog>

// The configuration dialog: the section tiles and the users section with its
// super-user form. Nothing in it is wired yet.
class SetupWindow : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY(SetupWindow)

public:
    explicit SetupWindow(QWidget* parent = nullptr);
};
