#pragma once

#include <QString>

class QLabel;
class QWidget;

// What the main screen adds for the keeper beside the network list.

// The "Configuration" label: activated like the new network label (click,
// Enter or Space after Tab), it opens the setup dialog over `window`, one at
// a time.
QLabel* configuration_label(QWidget* window);

// The server's own last lines under a failure message: selectable, in a
// fixed-width font, scrolled to their end.
QWidget* server_lines_view(const QString& lines);
