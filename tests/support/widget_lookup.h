#pragma once

#include <QImage>
#include <QLayout>
#include <QPushButton>
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

// Whether `button` is drawn showing `text` exactly as written: as it is drawn
// given Qt's own form of that literal text ("&&" for each "&"), and unlike
// the drawing in which each "&" marks an accelerator.
inline bool drawn_as_written(QPushButton* button, const QString& text)
{
    const QString own = button->text();
    const auto drawn_with = [button](const QString& label) {
        button->setText(label);
        return button->grab().toImage();
    };
    const QImage literal = drawn_with(QString(text).replace('&', "&&"));
    const QImage accelerated = drawn_with(text);
    const QImage drawn = drawn_with(own);
    return drawn == literal && drawn != accelerated;
}

} // namespace kt
