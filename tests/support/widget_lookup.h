#pragma once

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QWidget>

namespace kt {

// The widget held at `index` of a layout, or nullptr.
inline QWidget* widget_at(QLayout* layout, int index)
{
    QLayoutItem* item = layout ? layout->itemAt(index) : nullptr;
    return item ? item->widget() : nullptr;
}

template <typename T>
T* item_as(QLayout* layout, int index)
{
    return qobject_cast<T*>(widget_at(layout, index));
}

// Counts, while it lives, the paints of the loading screen's text in any
// window: a count that grows inside one slot call was painted during its work.
class LoadingScreenPaints : public QObject
{
public:
    LoadingScreenPaints() { qApp->installEventFilter(this); }
    ~LoadingScreenPaints() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* label = event->type() == QEvent::Paint ? qobject_cast<QLabel*>(watched) : nullptr;
        if (label && label->text().contains("Demarrage du Serveur"))
            ++count;
        return false;
    }
    int count = 0;
};

} // namespace kt
