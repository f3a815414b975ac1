#pragma once

#include "test_paths.h"

#include <QApplication>
#include <QFile>
#include <QScrollArea>
#include <QScrollBar>
#include <QWheelEvent>
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

inline QString shown_text(const QLabel* label)
{
    return shown_text(label->text());
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

// The style sheet that the package installs, for the life of this object.
struct InstalledStyleSheet
{
    InstalledStyleSheet()
    {
        QFile file(KESTROVA_SOURCE_DIR "/scripts/style.qss");
        if (file.open(QIODevice::ReadOnly))
            qApp->setStyleSheet(QString::fromLatin1(file.readAll()));
    }
    ~InstalledStyleSheet() { qApp->setStyleSheet(QString()); }
};

constexpr const char* long_network_name =
    "Les Lumieres de Tavoule et tous les ateliers de la vallee reunis pour les longues veillees d'hiver";

// A registry of `count` networks, the last one named too long for any button.
inline QByteArray long_registry(int count)
{
    QByteArray registry;
    for (int i = 1; i < count; ++i)
        registry += "Reseau " + QByteArray::number(i) + "|r|\n";
    return registry + long_network_name + "|r|\n";
}

// Shows the window holding long_registry(count) and checks that every network
// button has the height its style asks for, that the wheel scrolls the list,
// that the last button comes into view with the focus, elided, its whole
// name in its tooltip.
inline void check_every_network_readable(QWidget& window, int count)
{
    window.show();
    QApplication::setActiveWindow(&window);
    QVERIFY(QTest::qWaitForWindowActive(&window));
    const QList<QPushButton*> buttons = network_buttons(window);
    QCOMPARE(buttons.size(), count);
    for (QPushButton* button : buttons)
        QVERIFY2(button->height() >= button->sizeHint().height(), qPrintable(button->text()));
    auto* area = window.findChild<QScrollArea*>();
    QPushButton* last = buttons.last();
    const auto in_view = [area, last] {
        return area->viewport()->rect().contains(QRect(last->mapTo(area->viewport(), QPoint()), last->size()));
    };
    QVERIFY(area && !in_view());
    QWheelEvent wheel(QPointF(5, 5), area->viewport()->mapToGlobal(QPoint(5, 5)), QPoint(), QPoint(0, -120),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(area->viewport(), &wheel);
    QVERIFY(area->verticalScrollBar()->value() > 0);
    last->setFocus();
    QTRY_VERIFY(in_view());
    QVERIFY2(last->text().endsWith(QChar(0x2026)), qPrintable(last->text()));
    QCOMPARE(shown_text(last->toolTip()), QString(long_network_name));
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
