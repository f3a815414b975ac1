#pragma once

#include "busy_work.h"

#include <QLabel>
#include <QTest>

namespace kt {

// Clicks, then lets the launch or stop that the click began run to its end.
inline bool press(QWidget* button)
{
    QWidget* window = button->window();
    QTest::mouseClick(button, Qt::LeftButton);
    return QTest::qWaitFor([window] { return !BusyWork::busy(window); }, 60000);
}

// The failure told under the network list, "" when none is shown.
inline QString failure_shown(QWidget& window)
{
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->textInteractionFlags() & Qt::TextSelectableByMouse)
            return label->text();
    return QString();
}

} // namespace kt
