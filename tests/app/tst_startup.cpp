// The Linux build's start-up and teardown, run whole in this process: codec,
// style sheet, translation walk, icon, window flags, exit status; and the
// members' program's, which shares them. The suite
// runs with LANGUAGE=de_DE:fr_FR:it_IT; translations for the last two only
// exist once the suite registers them under ":/i18n/".
#include "../ui/linux_screens.h"
#include "test_paths.h"
#include "test_support.h"
#include "whole_program.h"

#include <QtTest>
#include <QtWidgets>

#include <iostream>

namespace {

// What the program showed, seen from inside its event loop.
struct Seen
{
    bool visible = false;
    QString title;
    QString codec;
    QString application_style_sheet;
    QString translated;
    QImage window_icon;
    QImage logo;
    bool application_icon = false;
    Qt::WindowFlags flags;
    int buttons = 0;
    QString window_class;
};
Seen seen;

void on_shown(QWidget& window)
{
    seen.visible = window.isVisible();
    seen.title = window.windowTitle();
    seen.codec = QString::fromLatin1(QTextCodec::codecForLocale()->name());
    seen.application_style_sheet = qApp->styleSheet();
    seen.translated = QCoreApplication::translate("Kestrova", "langue");
    seen.window_icon = window.windowIcon().pixmap(32, 32).toImage();
    seen.logo = QIcon("img/velmor_logo.svg").pixmap(32, 32).toImage();
    seen.application_icon = !QApplication::windowIcon().isNull();
    seen.flags = window.windowFlags();
    seen.buttons = kt::network_buttons(window).size();
    seen.window_class = window.metaObject()->className();
    QTimer::singleShot(0, &window, &QWidget::close);
}

int run_program()
{
    return kt::run_whole_program(on_shown);
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void shown_with_its_icon_flags_and_codec();
    void bare_folder_still_shows_the_window();
    void style_sheet_bytes_become_latin1_characters();
    void first_ui_language_with_a_translation_wins();
    void no_translation_keeps_the_french_texts();
    void client_program_shares_the_start_up();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kt::StandIns> stand_ins;
};

void TestStartup::init()
{
    dir = std::make_unique<kt::WorkDir>();
    stand_ins = std::make_unique<kt::StandIns>();
    stand_ins->add_ifconfig({"127.0.0.2"});
    kt::write_file("networks.data", "Lumieres|lumieres|\nPort|port|\n");
    seen = Seen();
}

void TestStartup::cleanup()
{
    stand_ins.reset();
    dir.reset();
}

void TestStartup::shown_with_its_icon_flags_and_codec()
{
    QVERIFY(QDir().mkdir("img"));
    QVERIFY(QFile::copy(QString(KESTROVA_IMAGES_DIR) + "/img/velmor_logo.svg", "img/velmor_logo.svg"));
    kt::StreamCapture out(std::cout);

    QCOMPARE(run_program(), 0);

    QVERIFY(seen.visible);
    QCOMPARE(seen.title, QString("Accueil Kestrova"));
    QCOMPARE(seen.buttons, 2);
    QCOMPARE(seen.codec, QString("UTF-8"));
    // 0x8004001 is set; Qt adds the title and system menu that those buttons sit in.
    const Qt::WindowFlags set = Qt::Window | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;
    QCOMPARE(int(set), 0x8004001);
    QCOMPARE(seen.flags & set, set);
    QVERIFY(!(seen.flags & (Qt::WindowMaximizeButtonHint | Qt::WindowContextHelpButtonHint)));
    // The window's own icon is the logo; the application has none.
    QVERIFY(!seen.window_icon.isNull());
    QCOMPARE(seen.window_icon, seen.logo);
    QVERIFY(!seen.application_icon);
    // The registry's lines are the only trace of a start.
    QCOMPARE(QString::fromStdString(out.text()), QString("Lumieres|lumieres|\nPort|port|\n1\n2\n"));
}

void TestStartup::bare_folder_still_shows_the_window()
{
    kt::StreamCapture err(std::cerr);
    QCOMPARE(run_program(), 0);
    QVERIFY(seen.visible);
    QCOMPARE(seen.buttons, 2);
    QCOMPARE(seen.application_style_sheet, QString());
    QVERIFY(seen.window_icon.isNull());
    QCOMPARE(err.text(), std::string());
}

void TestStartup::style_sheet_bytes_become_latin1_characters()
{
    // Saved as UTF-8: each accented letter is two bytes, hence two characters.
    kt::write_file("style.qss", "QLabel { font-family: \"R\xc3\xa9\"; }");
    QCOMPARE(run_program(), 0);
    QCOMPARE(seen.application_style_sheet,
             QString("QLabel { font-family: \"R") + QChar(0xc3) + QChar(0xa9) + QString("\"; }"));
    QCOMPARE(seen.buttons, 2);
}

void TestStartup::first_ui_language_with_a_translation_wins()
{
    const QStringList languages = QLocale::system().uiLanguages();
    QVERIFY2(languages.value(0) == "de-DE" && languages.indexOf("fr-FR") < languages.indexOf("it-IT"),
             qPrintable(languages.join(' ')));
    QVERIFY(QResource::registerResource(KESTROVA_TRANSLATIONS_RCC));
    QVERIFY(QFile::exists(":/i18n/KestrovaGUI_fr_FR.qm") && QFile::exists(":/i18n/KestrovaGUI_it_IT.qm"));
    const int status = run_program();
    QResource::unregisterResource(KESTROVA_TRANSLATIONS_RCC);
    QCOMPARE(status, 0);
    // de_DE has none, fr_FR loads and the walk stops before it_IT.
    QCOMPARE(seen.translated, QString::fromUtf8("français"));
}

void TestStartup::no_translation_keeps_the_french_texts()
{
    QVERIFY(!QFile::exists(":/i18n/KestrovaGUI_fr_FR.qm"));
    QCOMPARE(run_program(), 0);
    QCOMPARE(seen.translated, QString("langue"));
    QCOMPARE(seen.title, QString("Accueil Kestrova"));
}

void TestStartup::client_program_shares_the_start_up()
{
    // This computer has no address besides loopback's: nothing is scanned.
    stand_ins->add_ifconfig({});
    QVERIFY(QDir().mkdir("img"));
    QVERIFY(QFile::copy(QString(KESTROVA_IMAGES_DIR) + "/img/velmor_logo.svg", "img/velmor_logo.svg"));
    kt::write_file("style.qss", "QLabel { font-family: \"R\xc3\xa9\"; }");
    QVERIFY(QResource::registerResource(KESTROVA_TRANSLATIONS_RCC));
    kt::StreamCapture out(std::cout);
    char name[] = "kestrova-client";
    char* argv[] = {name, nullptr};

    const int status = run_kestrova_client(1, argv, on_shown);
    QResource::unregisterResource(KESTROVA_TRANSLATIONS_RCC);

    QCOMPARE(status, 0);
    QCOMPARE(seen.window_class, QString("ClientWindow"));
    QVERIFY(seen.visible);
    QCOMPARE(seen.title, QString("Recherche de Reseaux"));
    QCOMPARE(seen.codec, QString("UTF-8"));
    QCOMPARE(seen.application_style_sheet,
             QString("QLabel { font-family: \"R") + QChar(0xc3) + QChar(0xa9) + QString("\"; }"));
    QCOMPARE(seen.translated, QString::fromUtf8("français"));
    QVERIFY(!seen.window_icon.isNull());
    QCOMPARE(seen.window_icon, seen.logo);
    QVERIFY(!seen.application_icon);
    QCOMPARE(QString::fromStdString(out.text()), QString());
}

QTEST_APPLESS_MAIN(TestStartup)
#include "tst_startup.moc"
