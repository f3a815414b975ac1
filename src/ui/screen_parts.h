#pragma once

#include <QScrollArea>
#include <QString>

#include <string>

class QLabel;
class QPushButton;
class QVBoxLayout;
class QWidget;

// Pieces that the screens of every window build the same way.

// Decodes the hub core's UTF-8 byte strings for a widget or a URL.
QString utf8(const std::string& text);

// A network button's text: its name exactly as written. A button would take
// "&" for the mark of a keyboard accelerator; "&&" shows one "&" and makes none.
QString network_button_text(const std::string& name);

// A name shown inside a label's rich text: as written, never read as markup.
QString as_text(const std::string& name);

// The list of network buttons of a screen, one per name, in the order given.
// Each button keeps the height its style gives it: when they do not all fit,
// the list scrolls (the wheel; a button that takes the keyboard focus is
// brought into view). A name wider than its button is elided, the whole name
// in its tooltip. While the buttons fit, the list takes exactly their room,
// so that a short list looks as plain buttons in the screen's layout would.
class NetworkList : public QScrollArea
{
public:
    // Hidden until its first button: an empty list takes no room at all.
    explicit NetworkList(QWidget* parent);
    // A button of class "net-btn" for `name`, below the others.
    QPushButton* add_button(const std::string& name);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    QVBoxLayout* column;
};

// A centred label playing the animation in `file` at exactly width x height.
// The movie belongs to the label, so a teardown that deletes the label ends it.
QLabel* animation_label(const QString& file, int width, int height);

// Removes a window's screen: every widget held by its top-level layout, then
// the layout itself. Objects parented to the window outside the layout stay.
void remove_screen(QWidget* window);
