// The new network form of the administrator window: how it is reached and
// left, what a refused save leaves (nothing), and what a save makes, with a
// real Django from /usr/bin and the template of the source tree. No port, no
// X server: the hub is made, not started.
#include "network_maker.h"
#include "networkselectionwindow.h"
#include "new_network_form.h"
#include "test_paths.h"
#include "test_support.h"
#include "widget_lookup.h"

#include <QtTest>
#include <QtWidgets>

#include <future>
#include <iostream>

namespace {

QLineEdit* field(QWidget& window, int row)
{
    return window.findChild<QLineEdit*>(new_network_field_names[row]);
}

QLabel* create_label(QWidget& window)
{
    for (QLabel* label : window.findChildren<QLabel*>())
        if (label->text().contains("Creer un Nouveau Reseau"))
            return label;
    return nullptr;
}

QStringList button_texts(QWidget& window)
{
    QStringList texts;
    for (QPushButton* button : window.findChildren<QPushButton*>())
        texts << button->text();
    return texts;
}

// Every path under the working folder with its bytes.
QMap<QString, QByteArray> snapshot()
{
    QMap<QString, QByteArray> files;
    QDirIterator it(".", QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files[path] = QFileInfo(path).isFile() ? kt::read_file(path) : QByteArray("<dir>");
    }
    return files;
}

void fill(QWidget& window, const QStringList& values)
{
    for (int row = 0; row < 5; ++row)
        field(window, row)->setText(values.value(row));
}

} // namespace

class TestNewNetwork : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        work.reset(new kt::WorkDir);
        stand_ins.reset(new kt::StandIns);
        stand_ins->prefer_system_python();
        for (const char* entry : {"settings.py", "urls.py", "hubs", "ressources", "templates", "static"})
            QVERIFY(QProcess::execute("cp", {"-r", QString(KESTROVA_TEMPLATE_DIR) + "/" + entry, "."}) == 0);
        QDir().mkdir("existant");
        // No line end after the last line: the save adds one before its own.
        kt::write_file("networks.data", "Premier|premier|");
    }
    void cleanup()
    {
        stand_ins.reset();
        work.reset();
    }

    void the_label_leads_to_the_form_and_back()
    {
        NetworkSelectionWindow window;
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
        QLabel* label = create_label(window);
        QVERIFY(label);
        QCOMPARE(label->cursor().shape(), Qt::PointingHandCursor);
        // Focus starts on the network button; Tab then takes the label, Space opens the form.
        QTRY_COMPARE(QApplication::focusWidget(), window.findChild<QPushButton*>());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), label);
        QTest::keyClick(label, Qt::Key_Space);
        QTRY_VERIFY(field(window, 0));
        QCOMPARE(QApplication::focusWidget(), field(window, 0));
        QCOMPARE(field(window, 3)->echoMode(), QLineEdit::Password);
        QCOMPARE(field(window, 4)->echoMode(), QLineEdit::Password);
        // Enter walks down the rows.
        QTest::keyClick(field(window, 0), Qt::Key_Return);
        QCOMPARE(QApplication::focusWidget(), field(window, 1));

        // The way back reads the registry afresh.
        kt::write_file("networks.data", "Premier|premier|\nSecond|second|\n");
        QLabel* back = window.findChild<QLabel*>();
        for (QLabel* candidate : window.findChildren<QLabel*>())
            if (candidate->text().contains("Retour a la Selection"))
                back = candidate;
        QTest::mouseClick(back, Qt::LeftButton, {}, QPoint(10, back->height() / 2));
        QTRY_COMPARE(button_texts(window), QStringList({"Premier", "Second"}));

        QTest::mouseClick(create_label(window), Qt::LeftButton);
        QTRY_VERIFY(field(window, 0));
    }

    void a_refused_save_leaves_everything_as_it_was_data()
    {
        QTest::addColumn<QStringList>("values");
        QTest::addColumn<QByteArray>("django_admin");
        QTest::addColumn<QString>("said");
        const QStringList good {"Atelier", "atelier", "gardienne", "Vague-Salee-Quai-42", "Vague-Salee-Quai-42"};
        const auto with = [&good](int row, const QString& value) {
            QStringList values = good;
            values[row] = value;
            if (row == 3)
                values[4] = value;
            return values;
        };
        QTest::newRow("name empty") << with(0, "") << QByteArray() << "nom du réseau est vide";
        QTest::newRow("name with a bar") << with(0, "a|b") << QByteArray() << "« | »";
        QTest::newRow("name with a control character") << with(0, "a\tb") << QByteArray() << "caractère de contrôle";
        QTest::newRow("name registered") << with(0, "Premier") << QByteArray() << "déjà dans networks.data";
        QTest::newRow("path empty") << with(1, "") << QByteArray() << "chemin d'accès est vide";
        QTest::newRow("path not an identifier") << with(1, "mon-atelier") << QByteArray() << "identifiant Python";
        QTest::newRow("path a keyword") << with(1, "class") << QByteArray() << "mot réservé";
        QTest::newRow("path a Python module") << with(1, "json") << QByteArray()
                                              << "conflicts with the name of an existing Python module";
        QTest::newRow("path already there") << with(1, "existant") << QByteArray() << "existe déjà";
        QTest::newRow("pseudonym empty") << with(2, "") << QByteArray() << "pseudo de l'administrateur est vide";
        QTest::newRow("pseudonym with a blank") << with(2, "la gardienne") << QByteArray() << "Pseudo refusé";
        QTest::newRow("password empty") << with(3, "") << QByteArray() << "mot de passe est vide";
        QTest::newRow("password too common") << with(3, "motdepasse") << QByteArray() << "trop courant";
        QTest::newRow("password all digits") << with(3, "8362910475") << QByteArray() << "entièrement numérique";
        QTest::newRow("confirmation differs") << with(4, "Vague-Salee-Quai-43") << QByteArray()
                                              << "confirmation ne correspond pas";
        // A django-admin that stops halfway through the project.
        QTest::newRow("django-admin fails halfway")
            << good << QByteArray("#!/bin/sh\nmkdir -p \"$2/$2\" && echo x > \"$2/manage.py\"\n"
                                  "echo 'CommandError: disque plein' >&2\nexit 1\n")
            << "disque plein";
        QTest::newRow("django-admin missing") << good << QByteArray("missing") << "introuvable";
    }
    void a_refused_save_leaves_everything_as_it_was()
    {
        QFETCH(QStringList, values);
        QFETCH(QByteArray, django_admin);
        QFETCH(QString, said);
#ifdef KESTROVA_WINDOWS_BUILD
        // There the interpreter runs Django's own judgement during the save,
        // and its reason reaches the console: the form names the step.
        if (QStringList({"path a Python module", "password too common", "password all digits",
                         "django-admin fails halfway", "django-admin missing"})
                .contains(QTest::currentDataTag()))
            said = "a échoué";
#endif
        if (django_admin == "missing") {
            // A PATH with python3 but no django-admin.
            stand_ins->link_system_tool("python3");
            qputenv("PATH", stand_ins->path().toLocal8Bit());
        } else if (!django_admin.isEmpty()) {
            stand_ins->add("django-admin", django_admin);
        }
        const auto before = snapshot();
        NetworkSelectionWindow window;
        window.clean_screen();
        window.new_network_mode();
        fill(window, values);
        kt::StreamCapture errors(std::cerr);
        QTest::mouseClick(window.findChild<QPushButton*>(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(field(window, 0) && !window.findChild<QLabel*>(new_network_message_name)->text().isEmpty(),
                                 20000);
        const QString message = window.findChild<QLabel*>(new_network_message_name)->text();
        QVERIFY2(message.contains(said), qPrintable(message));
        QVERIFY2(QString::fromStdString(errors.text()).contains(said), errors.text().c_str());
        for (int row = 0; row < 5; ++row)
            QCOMPARE(field(window, row)->text(), values[row]);
        QCOMPARE(snapshot(), before);
    }

    void a_save_makes_the_hub_and_lists_it_last()
    {
        // The registry is a link: the line goes to the file it names.
        QVERIFY(QFile::rename("networks.data", "registre.txt"));
        QVERIFY(QFile::link("registre.txt", "networks.data"));
        NetworkSelectionWindow window;
        window.clean_screen();
        window.new_network_mode();
        fill(window, {"Atelier du Port", "atelier", "gardienne", "Vague-Salee-Quai-42", "Vague-Salee-Quai-42"});
        QTest::keyClick(field(window, 4), Qt::Key_Return);
        QTRY_VERIFY_WITH_TIMEOUT(!window.findChildren<QPushButton*>().isEmpty() && !field(window, 0), 60000);
        QCOMPARE(button_texts(window), QStringList({"Premier", "Atelier du Port"}));
        QCOMPARE(kt::read_file("registre.txt"), QByteArray("Premier|premier|\nAtelier du Port|atelier|\n"));
        QVERIFY(QFileInfo("networks.data").isSymLink());
        QCOMPARE(kt::read_file("atelier/atelier/nom_du_reseau.txt"), QByteArray("Atelier du Port"));
        QVERIFY(QFileInfo::exists("atelier/db.sqlite3"));
        // The superuser is there, with that password.
        QProcess check;
        check.setWorkingDirectory("atelier");
        check.start("python3", {"manage.py", "shell", "-c",
                                "from django.contrib.auth import authenticate as a; import sys; "
                                "u = a(username='gardienne', password=sys.stdin.read()); print(u and u.is_superuser)"});
        check.write("Vague-Salee-Quai-42");
        check.closeWriteChannel();
        QVERIFY(check.waitForFinished(30000));
        QCOMPARE(check.readAllStandardOutput().trimmed(), QByteArray("True"));
        const QStringList left = QDir(".").entryList({".kestrova-nouveau-*"}, QDir::Dirs | QDir::Hidden);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(" ")));
    }

    void two_saves_of_one_path_at_once_make_one_hub()
    {
        NewNetwork first {"Un", "commun", "", "", "", false};
        NewNetwork second {"Deux", "commun", "", "", "", false};
        auto one = std::async(std::launch::async, [&] { return make_new_network(first); });
        auto two = std::async(std::launch::async, [&] { return make_new_network(second); });
        const std::string results[] = {one.get(), two.get()};
        QCOMPARE(int(results[0].empty()) + int(results[1].empty()), 1);
        const QByteArray registry = kt::read_file("networks.data");
        QVERIFY2(registry == "Premier|premier|\nUn|commun|\n" || registry == "Premier|premier|\nDeux|commun|\n",
                 registry.constData());
    }

private:
    std::unique_ptr<kt::WorkDir> work;
    std::unique_ptr<kt::StandIns> stand_ins;
};

QTEST_MAIN(TestNewNetwork)
#include "tst_new_network.moc"
