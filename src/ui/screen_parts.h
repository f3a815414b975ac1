#pragma once

#include <QString>

#include <string>

class QLabel;
class QWidget;

// Pieces that the screens of every window build the same way.

// Decodes the hub core's UTF-8 byte strings for a widget or a URL.
QString utf8(const std::string& text);

// A network button's text: its name exactly as written. A button would take
// "&" for the mark of a keyboard accelerator; "&&" shows one "&" and makes none.
QString network_button_text(const std::string& name);

// A centred label playing the animation in `file` at exactly width x height.
// The movie belongs to the label, so a teardown that deletes the label ends it.
QLabel* animation_label(const QString& file, int width, int height);

// Removes a window's screen: every widget held by its top-level layout, then
// the layout itself. Objects parented to the window outside the layout stay.
void remove_screen(QWidget* window);
