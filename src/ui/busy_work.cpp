#include "busy_work.h"

#include <QApplication>
#include <QEvent>
#include <QThread>
#include <QWidget>

#include <exception>

namespace {

const char* const busy_child_name = "kestrova-busy-work";

bool is_input(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::Shortcut:
    case QEvent::ShortcutOverride:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::ContextMenu:
    case QEvent::Close:
        return true;
    default:
        return false;
    }
}

} // namespace

BusyWork::BusyWork(QWidget* window)
    : QObject(window)
    , window(window)
{
    setObjectName(busy_child_name);
    qApp->installEventFilter(this);
}

BusyWork::~BusyWork()
{
    // The task is bounded; the window that owns it waits for it rather than
    // leave a thread touching what it is about to free.
    if (thread) {
        thread->wait();
        delete thread;
    }
}

bool BusyWork::busy(const QWidget* window)
{
    return window->findChild<BusyWork*>(busy_child_name, Qt::FindDirectChildrenOnly) != nullptr;
}

void BusyWork::wait_for(QWidget* window)
{
    delete window->findChild<BusyWork*>(busy_child_name, Qt::FindDirectChildrenOnly);
}

bool BusyWork::run(QWidget* window, std::function<void()> work,
                   std::function<void(const std::string&)> done)
{
    if (busy(window))
        return false;
    auto* self = new BusyWork(window);
    self->thread = QThread::create([self, work = std::move(work)] {
        try {
            work();
        } catch (const std::exception& error) {
            self->failure = error.what();
            if (self->failure.empty())
                self->failure = "erreur inconnue";
        } catch (...) {
            self->failure = "erreur inconnue";
        }
    });
    connect(self->thread, &QThread::finished, self, [self, done = std::move(done)] {
        // Input made while the task ran was dropped by the filter; from here
        // on it belongs to whatever screen `done` builds.
        qApp->removeEventFilter(self);
        self->setObjectName(QString());
        const std::string failure = self->failure;
        self->deleteLater();
        done(failure);
    });
    self->thread->start();
    return true;
}

bool BusyWork::eventFilter(QObject* watched, QEvent* event)
{
    if (!is_input(event->type()) || !watched->isWidgetType())
        return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget->window() != window)
        return false;
    event->ignore();
    return true;
}
