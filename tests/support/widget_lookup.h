#pragma once

#include <QApplication>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
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

// Rich text's words as the reader sees them, blanks folded.
inline QString shown_text(const QString& html)
{
    QTextDocument document;
    document.setHtml(html);
    return document.toPlainText().simplified();
}

// The network buttons of a window, in the order its screen made them.
inline QList<QPushButton*> network_buttons(const QWidget& window)
{
    QList<QPushButton*> buttons;
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->property("class").toString() == "net-btn")
            buttons << button;
    return buttons;
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

// Shows the window and presses Alt+D and Alt+Space there, the accelerators
// that "R&D" and "Atelier & Co" would make; false when the window could not
// be made active. An accelerator clicks its button a moment later.
inline bool press_name_accelerators(QWidget& window)
{
    window.show();
    QApplication::setActiveWindow(&window);
    if (!QTest::qWaitForWindowActive(&window))
        return false;
    QTest::keyClick(&window, Qt::Key_D, Qt::AltModifier);
    QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
    QTest::qWait(500);
    return true;
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
