#pragma once

// What the Linux build's running-server panel and loading screen look like,
// for the suites that drive its administrator window.
#include "example_host.h"
#include "networkselectionwindow.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

namespace kt {

// The network buttons of a main screen, in layout order.
inline QList<QPushButton*> network_buttons(QWidget& window)
{
    QWidget* row = widget_at(window.layout(), 0);
    QWidget* column = row ? widget_at(row->layout(), 1) : nullptr;
    QWidget* box = column ? widget_at(column->layout(), 1) : nullptr;
    QList<QPushButton*> buttons;
    for (int i = 2; box && i < box->layout()->count(); ++i)
        if (auto* button = item_as<QPushButton>(box->layout(), i))
            buttons << button;
    return buttons;
}

inline void check_running_server_panel(NetworkSelectionWindow& window)
{
    QCOMPARE(window.windowTitle(), QString("Kestrova : Les Lumieres de Tavoule"));
    QVERIFY(window.autoFillBackground());
    const QBrush background = window.palette().brush(QPalette::Active, QPalette::Window);
    QVERIFY(background.gradient());
    QCOMPARE(background.gradient()->stops().size(), 1);
    QCOMPARE(background.gradient()->stops().first().second, QColor("#3399ff"));
    QCOMPARE(window.palette().brush(QPalette::Inactive, QPalette::Window), background);

    auto* panel = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(panel);
    QCOMPARE(panel->alignment(), Qt::AlignTop | Qt::AlignHCenter);
    QCOMPARE(panel->count(), 4);

    QWidget* animation_row = widget_at(panel, 0);
    auto* animation = item_as<QLabel>(animation_row->layout(), 0);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("fuseum.gif"));
    QCOMPARE(animation->size(), QSize(130, 130));
    QCOMPARE(animation->movie()->scaledSize(), QSize(130, 130));
    QCOMPARE(animation->alignment(), Qt::AlignCenter);

    auto* title = item_as<QLabel>(panel, 1);
    QCOMPARE(title->text(), QString("Votre Serveur est Pret"));
    QCOMPARE(title->alignment(), Qt::AlignCenter);

    QWidget* buttons = widget_at(panel, 2);
    auto* open_space = item_as<QPushButton>(buttons->layout(), 0);
    auto* stop = item_as<QPushButton>(buttons->layout(), 1);
    QCOMPARE(open_space->text(), QString("Acceder a mon Espace"));
    QCOMPARE(stop->text(), QString("Arreter le Serveur"));

    QCOMPARE(item_as<QLabel>(panel, 3)->text(),
             QString("<div style='margin-bottom:10px;color:white;'> <b> Reseau : </b> Les Lumieres de Tavoule </div>"
                     "<div style='margin-bottom:10px;color:white;'> <b> Adresse : </b> ")
                 + example_host_address
                 + " </div><div style='margin-bottom:10px;color:white;'> <b> Port : </b> 8000 </div>");
}

inline void check_loading_screen(NetworkSelectionWindow& window)
{
    auto* loading = qobject_cast<QHBoxLayout*>(window.layout());
    QVERIFY(loading);
    QCOMPARE(loading->count(), 2);
    auto* animation = item_as<QLabel>(loading, 0);
    QVERIFY(animation->hasScaledContents());
    QCOMPARE(animation->size(), QSize(300, 200));
    QVERIFY(animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("img/loading.gif"));
    QCOMPARE(animation->movie()->scaledSize(), QSize(300, 200));
    QCOMPARE(item_as<QLabel>(loading, 1)->text(),
             QString("<div style='font-size:25px;text-align:center;'>Mise en place de l'environnement...</div> "
                     "<div> Demarrage du Serveur"));
}

} // namespace kt
