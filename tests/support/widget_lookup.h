#pragma once

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

} // namespace kt
