#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;

// The members' way to a hub the search does not see: a field for its address
// or link, a button to ask it, and a line that tells what came of it.
class AddressField : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(AddressField)

public:
    explicit AddressField(QWidget* parent = nullptr);

    // A message beside the field; a failure shows as one, and goes to the error stream too.
    void tell(const QString& message, bool failure);
    bool has_focus() const;

signals:
    // Enter, or the button, with the field's text.
    void asked(const QString& text);

private:
    QLineEdit* edit;
    QPushButton* ask_button;
    QLabel* message;
};
