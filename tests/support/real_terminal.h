#pragma once

#include <QByteArray>
#include <QList>

#include <sys/types.h>

namespace kt {

// The living processes that carry the environment entry `mark` and are not
// this process's own children: what the real gnome-terminal runs for a test
// that put `mark` in its environment before asking for the terminal.
QList<pid_t> marked_processes(const QByteArray& mark);

// gnome-terminal's server quits with its last window, and a terminal asked
// for meanwhile is lost in that race, which is no part of the program: one
// idle terminal of the test's own keeps the server up while it lives.
class IdleTerminal
{
public:
    explicit IdleTerminal(const QByteArray& mark_variable);
    ~IdleTerminal();
    bool open() const { return !marked_processes(mark).isEmpty(); }

private:
    QByteArray mark;
};

} // namespace kt
