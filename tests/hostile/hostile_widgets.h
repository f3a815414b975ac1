#pragma once

#include <QList>
#include <QPushButton>
#include <QVariant>
#include <QWidget>

namespace kh {

// The network buttons of a window, in the order its screen made them.
inline QList<QPushButton*> network_buttons(const QWidget& window)
{
    QList<QPushButton*> buttons;
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->property("class").toString() == "net-btn")
            buttons << button;
    return buttons;
}

} // namespace kh
