#pragma once

// What the Linux build's running-server panel and loading screen look like,
// for the suites that drive its administrator window.
#include "networkselectionwindow.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

namespace kt {

// The panel of the network `name` served on 127.0.0.2.
inline void check_running_server_panel(NetworkSelectionWindow& window, const QString& name = "Second")
{
    QCOMPARE(window.windowTitle(), "Kestrova : " + name);
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

    QCOMPARE(shown_text(item_as<QLabel>(panel, 3)->text()), "Reseau : " + name + " Adresse : 127.0.0.2 Port : 8000");
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
