#include "clientwindow.h"
#include "screen_parts.h"
#include "test_support.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

using kt::item_as;
using kt::widget_at;

QLabel* first_animation(QWidget& window)
{
    QWidget* row = widget_at(window.layout(), 0);
    return row ? item_as<QLabel>(row->layout(), 0) : nullptr;
}

// Recorders for every tool of the Linux build's search: this build runs none.
struct NoSearchTools
{
    explicit NoSearchTools(const kt::WorkDir& dir) : log(dir.file("tools.log"))
    {
        for (const char* tool : {"ifconfig", "nmap", "curl"})
            stand_ins.add(tool, QByteArray("#!/bin/sh\necho ") + tool + " >> '" + log.toLocal8Bit() + "'\n");
    }
    QString log;
    kt::StandIns stand_ins;
};

} // namespace

class TestClientWindowWindows : public QObject
{
    Q_OBJECT

private slots:
    void meta_object_has_no_slot();
    void searching_screen_is_the_only_one();
    void selection_screen_lists_the_registry();
    void names_with_ampersands_show_as_written();
    void connected_screen();
};

void TestClientWindowWindows::meta_object_has_no_slot()
{
    const QMetaObject& meta = ClientWindow::staticMetaObject;
    QCOMPARE(meta.className(), "ClientWindow");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 0);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
}

void TestClientWindowWindows::searching_screen_is_the_only_one()
{
    kt::WorkDir dir;
    NoSearchTools tools(dir);
    kt::write_file("networks.data", "Un|hubs/un|\n");
    kt::StreamCapture out(std::cout);
    ClientWindow window(nullptr);

    QCOMPARE(window.windowTitle(), QString("Recherche de Reseaux"));
    QCOMPARE(window.minimumSize(), QSize(800, 400));
    QCOMPARE(window.maximumSize(), QSize(800, 400));
    auto* screen = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(screen);
    QCOMPARE(screen->count(), 3);
    QCOMPARE(screen->alignment(), Qt::AlignCenter | Qt::AlignTop);
    QLabel* animation = first_animation(window);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("img/wifi.gif"));
    QCOMPARE(animation->size(), QSize(335, 335));
    QCOMPARE(item_as<QLabel>(screen, 1)->text(),
             QString("<div style='font-size:24px;color:blue;margin-bottom:30px;  '> "
                     "Recherche d'un Reseau disponible ... </div>"));

    QVERIFY(window.networks.empty());
    QVERIFY(window.findChildren<QPushButton*>().isEmpty());
    QVERIFY(window.findChildren<QSignalMapper*>().isEmpty());
    // Neither the search nor the registry is touched.
    QVERIFY(!QFile::exists(tools.log));
    QCOMPARE(out.text(), std::string());
}

void TestClientWindowWindows::selection_screen_lists_the_registry()
{
    kt::WorkDir dir;
    NoSearchTools tools(dir);
    kt::write_file("networks.data", "Jumeau|hubs/un|\nR\xc3\xa9seau|hubs/deux|\nJumeau|hubs/trois|\n");
    kt::StreamCapture out(std::cout);
    ClientWindow window(nullptr);
    remove_screen(&window);
    window.selecting_networks_mode();

    QVERIFY(window.autoFillBackground());
    const QBrush background = window.palette().brush(QPalette::Active, QPalette::Window);
    QVERIFY(background.gradient());
    QCOMPARE(background.gradient()->stops().size(), 1);
    QCOMPARE(background.gradient()->stops().first().second, QColor("#fefefe"));
    QCOMPARE(window.windowTitle(), QString("Recherche de Reseaux"));

    QWidget* list = widget_at(window.layout(), 1);
    QVERIFY(list);
    QCOMPARE(item_as<QLabel>(list->layout(), 0)->text(), QString("<div>Selectionner un Reseau </div>"));
    QStringList texts;
    for (QPushButton* button : kt::network_buttons(window))
        texts << button->text();
    QCOMPARE(texts, QStringList({"Jumeau", QString::fromUtf8("R\xc3\xa9seau"), "Jumeau"}));
    // The buttons lead nowhere, and the registry's records stay the screen's.
    QVERIFY(window.findChildren<QSignalMapper*>().isEmpty());
    QVERIFY(window.networks.empty());
    QCOMPARE(out.text(), std::string("Jumeau|hubs/un|\nR\xc3\xa9seau|hubs/deux|\nJumeau|hubs/trois|\n"));
    QVERIFY(!QFile::exists(tools.log));
}

void TestClientWindowWindows::names_with_ampersands_show_as_written()
{
    kt::WorkDir dir;
    NoSearchTools tools(dir);
    kt::write_file("networks.data", "R&D|rd|\nAtelier & Co|atelier|\n");
    kt::StreamCapture out(std::cout);
    ClientWindow window(nullptr);
    remove_screen(&window);
    window.selecting_networks_mode();

    QVERIFY(kt::drawn_as_written(kt::network_buttons(window).value(0), "R&D"));
    QVERIFY(kt::drawn_as_written(kt::network_buttons(window).value(1), "Atelier & Co"));
}

void TestClientWindowWindows::connected_screen()
{
    kt::WorkDir dir;
    NoSearchTools tools(dir);
    ClientWindow window(nullptr);
    remove_screen(&window);
    window.network_selected_mode();

    QCOMPARE(window.windowTitle(), QString("Interface Client"));
    QCOMPARE(window.minimumSize(), QSize(800, 400));
    QLabel* animation = first_animation(window);
    QVERIFY(animation && animation->movie());
    QCOMPARE(animation->movie()->fileName(), QString("img/fuseum.gif"));
    QCOMPARE(animation->size(), QSize(130, 130));
    QCOMPARE(window.layout()->count(), 4);
    QCOMPARE(item_as<QLabel>(window.layout(), 1)->text(), QString("Vous etes connecte au reseau"));
    // This build opens no hub: none is named.
    QCOMPARE(kt::shown_text(item_as<QLabel>(window.layout(), 3)->text()), QString("Reseau : Hote :"));
}

QTEST_MAIN(TestClientWindowWindows)
#include "tst_clientwindow_win.moc"
