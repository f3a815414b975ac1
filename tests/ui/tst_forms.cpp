#include "mainwindow.h"
#include "networkselectionwindow.h"
#include "setupwindow.h"
#include "test_paths.h"
#include "test_support.h"
#include "ui_mainwindow.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

struct Captured
{
    kt::StreamCapture out {std::cout};
    kt::StreamCapture err {std::cerr};
};

using kt::item_as;

template <typename T>
T* cell_as(QGridLayout* grid, int row, int column)
{
    QLayoutItem* item = grid->itemAtPosition(row, column);
    return item ? qobject_cast<T*>(item->widget()) : nullptr;
}

// The forms leave row 0 and column 0 empty; their cells start at (1, 1).
void check_row_and_column_zero_empty(QGridLayout* grid)
{
    for (int column = 0; column < grid->columnCount(); ++column)
        QVERIFY2(!grid->itemAtPosition(0, column), qPrintable(QString("cell 0, %1").arg(column)));
    for (int row = 0; row < grid->rowCount(); ++row)
        QVERIFY2(!grid->itemAtPosition(row, 0), qPrintable(QString("cell %1, 0").arg(row)));
}

struct Label
{
    const char* text;
    int length;
};

// Labels in column 1 from row 1, each text exact, blanks and length included.
void check_label_column(QGridLayout* grid, const QList<Label>& labels)
{
    for (int row = 1; row <= labels.size(); ++row) {
        auto* label = cell_as<QLabel>(grid, row, 1);
        QVERIFY2(label, qPrintable(QString("no label in row %1").arg(row)));
        QCOMPARE(label->text(), QString::fromUtf8(labels[row - 1].text));
        QCOMPARE(label->text().size(), labels[row - 1].length);
    }
}

// A field with Qt's defaults: what is typed shows in clear, nothing limits it.
void check_plain_field(QLineEdit* field)
{
    QVERIFY(field);
    QCOMPARE(field->echoMode(), QLineEdit::Normal);
    QCOMPARE(field->placeholderText(), QString());
    QCOMPARE(field->maxLength(), 32767);
    QVERIFY(!field->validator());
    QCOMPARE(field->text(), QString());
}

void check_save_button(QPushButton* button, const QString& text)
{
    QVERIFY(button);
    QCOMPARE(button->text(), text);
}

// What a window shows: its objects, layout, texts and size. A control that does
// nothing leaves all of it as it was.
struct WindowState
{
    explicit WindowState(QWidget& window)
        : layout(window.layout()), children(window.findChildren<QObject*>()), title(window.windowTitle()),
          style(window.styleSheet()), size(window.size()), top_levels(QApplication::topLevelWidgets())
    {
    }
    bool operator==(const WindowState& other) const
    {
        return layout == other.layout && children == other.children && title == other.title
            && style == other.style && size == other.size && top_levels == other.top_levels;
    }
    QLayout* layout;
    QObjectList children;
    QString title;
    QString style;
    QSize size;
    QWidgetList top_levels;
};

void check_fixed_size(QWidget& window, const QSize& size)
{
    QCOMPARE(window.size(), size);
    QCOMPARE(window.minimumSize(), size);
    QCOMPARE(window.maximumSize(), size);
    window.resize(size + QSize(200, 100));
    QCOMPARE(window.size(), size);
}


QGridLayout* form_grid(QWidget* form)
{
    return form ? qobject_cast<QGridLayout*>(form->layout()) : nullptr;
}

} // namespace

class TestForms : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void new_network_form_structure();

    void setup_dialog_structure_without_images();
    void setup_dialog_shows_its_images();
    void setup_dialog_tiles_do_nothing_and_passwords_are_masked();

    void main_window_skeleton();
    void form_names_only_an_unnamed_window();
    void form_leaves_the_menu_bar_to_the_window();

private:
    kt::WorkDir* dir = nullptr;
    kt::StandIns* stand_ins = nullptr;
};

void TestForms::init()
{
    dir = new kt::WorkDir;
    // The administrator window never asks for the host address here; the
    // stand-in is there all the same, in case it ever does.
    stand_ins = new kt::StandIns;
    stand_ins->add_ifconfig({"127.0.0.2"});
}

void TestForms::cleanup()
{
    delete stand_ins;
    delete dir;
}

void TestForms::new_network_form_structure()
{
    Captured captured;
    NetworkSelectionWindow window(nullptr);
    window.clean_screen();
    QVERIFY(!window.layout());
    window.new_network_mode();

    auto* screen = qobject_cast<QVBoxLayout*>(window.layout());
    QVERIFY(screen);
    QCOMPARE(screen->count(), 3);
    auto* link = item_as<QLabel>(screen, 0);
    QVERIFY(link);
    QCOMPARE(link->text(), QString("<a href='#'>Retour a la Selection</a> "));
    QVERIFY(!link->openExternalLinks());
    auto* title = item_as<QLabel>(screen, 1);
    QVERIFY(title);
    QCOMPARE(title->text(), QString(" <div style='font-size:30px;font-weight:bold;'> Nouveau Reseau </div>"));

    QGridLayout* grid = form_grid(item_as<QWidget>(screen, 2));
    QVERIFY(grid);
    // The five rows, the save button and the message line under it.
    QCOMPARE(grid->count(), 12);
    check_row_and_column_zero_empty(grid);
    check_label_column(grid, {{"Nom du Réseau :               ", 30},
                              {"Chemin d'Acces :              ", 30},
                              {"Pseudo de l'Administrateur :  ", 30},
                              {"Mot de Passe de l'Administrateur : ", 35},
                              {"Confirmation de Mot de Passe : ", 31}});
    QVERIFY(cell_as<QLabel>(grid, 1, 1)->text().startsWith(QString("Nom du R") + QChar(0xE9) + "seau"));
    for (int row = 1; row <= 3; ++row)
        check_plain_field(cell_as<QLineEdit>(grid, row, 2));
    QVERIFY(!grid->itemAtPosition(6, 1));
    check_save_button(cell_as<QPushButton>(grid, 6, 2), "Enregistrer le Reseau");
}

void TestForms::setup_dialog_structure_without_images()
{
    // The list is the registry's, names as plain text.
    kt::write_file("networks.data", "Les Lumieres de Tavoule|lumieres|\n<b>Atelier</b> & Port|atelier|\n");
    SetupWindow dialog(nullptr);

    QCOMPARE(dialog.metaObject()->className(), "SetupWindow");
    QCOMPARE(dialog.windowTitle(), QString("Configuration Kestrova"));
    check_fixed_size(dialog, QSize(800, 400));

    auto* outer = qobject_cast<QHBoxLayout*>(dialog.layout());
    QVERIFY(outer);
    QCOMPARE(outer->count(), 2);
    auto* sidebar = item_as<QWidget>(outer, 0);
    QVERIFY(sidebar);
    QCOMPARE(sidebar->maximumWidth(), 200);
    auto* tiles = qobject_cast<QVBoxLayout*>(sidebar->layout());
    QVERIFY(tiles);
    QCOMPARE(tiles->count(), 4);
    const struct
    {
        QSize size;
        const char* caption;
    } expected_tiles[] = {
        {{45, 40}, "<div style='color:black;text-align:center;'> Apparence </div>"},
        {{45, 40}, "<div style='color:#0072c6;text-align:center;'> Utilisateurs </div>"},
        {{50, 40}, "<div style='color:black;text-align:center;'> Repertoires </div>"},
        {{50, 40}, "<div style='color:black;text-align:center;'> Repertoires </div>"},
    };
    for (int i = 0; i < 4; ++i) {
        auto* tile = item_as<QWidget>(tiles, i);
        QVERIFY(tile);
        auto* layout = qobject_cast<QVBoxLayout*>(tile->layout());
        QVERIFY(layout);
        QCOMPARE(layout->count(), 2);
        QCOMPARE(layout->alignment(), Qt::AlignCenter);
        auto* icon = item_as<QLabel>(layout, 0);
        QVERIFY(icon);
        QCOMPARE(icon->minimumSize(), expected_tiles[i].size);
        QCOMPARE(icon->maximumSize(), expected_tiles[i].size);
        QVERIFY(icon->hasScaledContents());
        QCOMPARE(icon->alignment(), Qt::AlignCenter);
        // No img/ folder here: the icons stay empty at their sizes.
        QVERIFY(icon->pixmap(Qt::ReturnByValue).isNull());
        auto* caption = item_as<QLabel>(layout, 1);
        QVERIFY(caption);
        QCOMPARE(caption->text(), QString(expected_tiles[i].caption));
        QCOMPARE(caption->alignment(), Qt::AlignCenter);
    }

    auto* content = item_as<QWidget>(outer, 1);
    QVERIFY(content);
    auto* column = qobject_cast<QVBoxLayout*>(content->layout());
    QVERIFY(column);
    QCOMPARE(column->alignment(), Qt::AlignTop);
    QCOMPARE(column->count(), 3);
    QCOMPARE(item_as<QLabel>(column, 0)->text(), QString("Configuration des Utilisateurs"));
    QCOMPARE(item_as<QLabel>(column, 1)->text(),
             QString(" <div style='font-size:30px;font-weight:bold;'> Ajouter un super-utilisateur </div>"));

    QGridLayout* grid = form_grid(item_as<QWidget>(column, 2));
    QVERIFY(grid);
    QCOMPARE(grid->count(), 12);
    check_row_and_column_zero_empty(grid);
    check_label_column(grid, {{"Votre Pseudonyme :       ", 25},
                              {"Votre Nom :              ", 25},
                              {"Votre Mot de Passe :     ", 25},
                              {"Confirmer Mot de Passe : ", 25},
                              {"Selectionner un Reseau : ", 25}});
    for (int row = 1; row <= 2; ++row)
        check_plain_field(cell_as<QLineEdit>(grid, row, 2));
    auto* networks = cell_as<QComboBox>(grid, 5, 2);
    QVERIFY(networks);
    QStringList items;
    for (int i = 0; i < networks->count(); ++i)
        items << networks->itemText(i);
    QCOMPARE(items, QStringList({"Les Lumieres de Tavoule", "<b>Atelier</b> & Port"}));
    QCOMPARE(networks->currentIndex(), 0);
    QVERIFY(!grid->itemAtPosition(6, 1));
    check_save_button(cell_as<QPushButton>(grid, 6, 2), "Enregistrer l'Administrateur");
}

void TestForms::setup_dialog_shows_its_images()
{
    const QString images = QString(KESTROVA_IMAGES_DIR) + "/img";
    const QStringList files {"image-regular.svg", "users-solid.svg", "folder-open-solid.svg",
                             "network-wired-solid.svg"};
    QVERIFY(QDir().mkdir("img"));
    for (const QString& file : files) {
        if (!QFile::exists(images + "/" + file))
            QSKIP(qPrintable("the project's image " + file + " is not made yet"));
        QVERIFY(QFile::copy(images + "/" + file, "img/" + file));
    }
    SetupWindow dialog(nullptr);
    QLayout* tiles = item_as<QWidget>(dialog.layout(), 0)->layout();
    for (int i = 0; i < 4; ++i) {
        auto* icon = item_as<QLabel>(item_as<QWidget>(tiles, i)->layout(), 0);
        QVERIFY2(!icon->pixmap(Qt::ReturnByValue).isNull(), qPrintable(files[i]));
    }
}

void TestForms::setup_dialog_tiles_do_nothing_and_passwords_are_masked()
{
    SetupWindow dialog(nullptr);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QLayout* tiles = item_as<QWidget>(dialog.layout(), 0)->layout();
    QGridLayout* grid = form_grid(item_as<QWidget>(item_as<QWidget>(dialog.layout(), 1)->layout(), 2));
    const WindowState before(dialog);

    for (int row = 3; row <= 4; ++row) {
        QTest::keyClicks(cell_as<QLineEdit>(grid, row, 2), "mot secret");
        QVERIFY(!cell_as<QLineEdit>(grid, row, 2)->displayText().contains("secret"));
    }
    for (int i = 0; i < 4; ++i) {
        QLayout* tile = item_as<QWidget>(tiles, i)->layout();
        QTest::mouseClick(item_as<QLabel>(tile, 0), Qt::LeftButton);
        QTest::mouseClick(item_as<QLabel>(tile, 1), Qt::LeftButton);
    }
    QApplication::processEvents();

    QVERIFY(WindowState(dialog) == before);
    QVERIFY(dialog.isVisible());
}

void TestForms::main_window_skeleton()
{
    MainWindow window(nullptr);

    QCOMPARE(window.metaObject()->className(), "MainWindow");
    QCOMPARE(window.metaObject()->superClass(), &QMainWindow::staticMetaObject);
    QCOMPARE(window.metaObject()->methodCount(), QMainWindow::staticMetaObject.methodCount());
    QCOMPARE(window.metaObject()->propertyCount(), QMainWindow::staticMetaObject.propertyCount());
    QCOMPARE(window.objectName(), QString("MainWindow"));
    QCOMPARE(window.windowTitle(), QString("MainWindow"));
    QCOMPARE(window.size(), QSize(800, 600));
    QVERIFY(!window.parent());

    QWidget* central = window.centralWidget();
    QVERIFY(central);
    QCOMPARE(central->objectName(), QString("centralwidget"));
    QCOMPARE(central->parent(), &window);
    QVERIFY(central->children().isEmpty());
    QMenuBar* menu = window.menuBar();
    QCOMPARE(menu->objectName(), QString("menubar"));
    QCOMPARE(menu->parent(), &window);
    QVERIFY(menu->actions().isEmpty());
    QStatusBar* status = window.statusBar();
    QCOMPARE(status->objectName(), QString("statusbar"));
    QCOMPARE(status->parent(), &window);

    QStringList widgets;
    for (QWidget* child : window.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        widgets << child->objectName();
    QCOMPARE(widgets, QStringList({"centralwidget", "menubar", "statusbar"}));
}

void TestForms::form_names_only_an_unnamed_window()
{
    QMainWindow named;
    named.setObjectName("fenetre");
    Ui_MainWindow named_form;
    named_form.setupUi(&named);
    QCOMPARE(named.objectName(), QString("fenetre"));

    QMainWindow unnamed;
    Ui_MainWindow form;
    form.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QString("MainWindow"));
    QCOMPARE(form.centralwidget, unnamed.centralWidget());
    QCOMPARE(form.menubar, unnamed.menuBar());
    QCOMPARE(form.statusbar, unnamed.statusBar());
    QCOMPARE(unnamed.windowTitle(), QString("MainWindow"));
    QCOMPARE(unnamed.size(), QSize(800, 600));
}

void TestForms::form_leaves_the_menu_bar_to_the_window()
{
    // A menu bar given no geometry of its own is placed by the window's
    // layout alone: before the window is shown it keeps a child's default.
    QMainWindow plain;
    plain.setMenuBar(new QMenuBar(&plain));
    QMainWindow window;
    Ui_MainWindow form;
    form.setupUi(&window);
    QCOMPARE(form.menubar->geometry(), plain.menuBar()->geometry());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(form.menubar->width(), window.width());
}

QTEST_MAIN(TestForms)
#include "tst_forms.moc"
