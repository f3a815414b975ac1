// Paths and names that reach a shell: the start of a network's server and
// the provisioning of a new one, in the build this suite is made for. The
// Linux build's commands run through a real bash, the Windows builds' through
// the command interpreter stand-in. The working directory holds a file
// "marker"; every hostile text carries a command that would copy it to "ran"
// (or redirect into "ran") if the shell ever read the text as a command.
#include "hostile_support.h"
#include "hostile_texts.h"
#include "hub_utilities.h"
#include "network.h"
#include "test_paths.h"
#include "test_support.h"
#ifdef KESTROVA_WINDOWS_BUILD
#include "../core/tst_win_support.h"
#endif

#include <QtTest>

#include <iostream>
#include <memory>

namespace {

const char* const template_entries[] = {"settings.py", "urls.py", "hubs", "ressources", "templates", "static"};

// Stands for django-admin (and, in the Windows builds, for the python that
// the interpreter runs it with): records the project argument it was given
// and makes the project's package folder, as startproject does.
const QByteArray startproject_recorder =
    "#!/usr/bin/python3\n"
    "import os, sys\n"
    "project = os.fsencode(sys.argv[-1])\n"
    "with open(os.environ['KH_RECORD'], 'ab') as record:\n"
    "    record.write(project + b'\\0')\n"
    "os.makedirs(os.path.join(project, os.fsencode(os.environ['KH_PACKAGE'])))\n";

// What the shell was handed literally must reach the program literally, and
// a folder or argument that begins with '-' reaches it as "./-...".
QByteArray as_operand(const QByteArray& text)
{
    return text.startsWith('-') ? "./" + text : text;
}

#ifdef KESTROVA_WINDOWS_BUILD
constexpr bool windows_build = true;
#else
constexpr bool windows_build = false;
#endif

} // namespace

class TestHostileShell : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void launch_runs_the_server_in_the_literal_folder_data() { kt::hostile_texts(); }
    void launch_runs_the_server_in_the_literal_folder();
    void provisioning_uses_the_literal_name_and_path_data() { kt::hostile_texts(); }
    void provisioning_uses_the_literal_name_and_path();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kt::StandIns> stand_ins;
#ifdef KESTROVA_WINDOWS_BUILD
    std::unique_ptr<kw::Input> input;
#endif
};

void TestHostileShell::init()
{
    dir = std::make_unique<kt::WorkDir>();
    stand_ins = std::make_unique<kt::StandIns>();
    stand_ins->add_ifconfig({"127.0.0.2"});
    kt::write_file("marker", "si ce fichier est copie, une commande a ete injectee\n");
#ifdef KESTROVA_WINDOWS_BUILD
    // pause (configuration B) sees the end of input, never the suite's console.
    input = std::make_unique<kw::Input>();
    input->close();
    qputenv("KW_RECORD", dir->file("record").toLocal8Bit());
    qunsetenv("KW_GATE");
#else
    stand_ins->add_terminal(dir->path());
    stand_ins->add("python3", "#!/bin/sh\npwd -P > '" + dir->file("pwd").toLocal8Bit() + "'\necho \"$@\" > '"
                                  + dir->file("args").toLocal8Bit() + "'\n");
#endif
}

void TestHostileShell::cleanup()
{
#ifdef KESTROVA_WINDOWS_BUILD
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    input.reset();
#else
    // Only what still runs: a leader that ended waits for init to reap it.
    for (pid_t group : kt::recorded_groups(dir->path()))
        if (!kh::has_ended(group))
            kt::stop_process_group(group);
#endif
    stand_ins.reset();
    dir.reset();
}

void TestHostileShell::launch_runs_the_server_in_the_literal_folder()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, launch_refused);
    const QString folder = dir->file(QString::fromUtf8(text));
    QVERIFY(QDir().mkpath(folder));
    const QString expected_folder = QDir(folder).canonicalPath();

#ifdef KESTROVA_WINDOWS_BUILD
    kw::write_recording_project(folder);
    kt::StreamCapture err(std::cerr);
    Network(" n ", text.toStdString()).launch();
    if (launch_refused) {
        QVERIFY2(QString::fromStdString(err.text()).startsWith(QString::fromUtf8("Chemin refusé : « ")),
                 err.text().c_str());
        QVERIFY2(kw::descendants().isEmpty(), qPrintable(kw::describe(kw::descendants())));
    } else {
        QTRY_VERIFY(QFile::exists("record"));
        // Whatever the line started has ended before anything is judged.
        QTRY_VERIFY2(kw::descendants().isEmpty(), qPrintable(kw::describe(kw::descendants())));
        QCOMPARE(QString::fromUtf8(kt::read_file("record")), expected_folder + "|runserver\n");
        QCOMPARE(err.text(), std::string());
    }
#else
    Q_UNUSED(launch_refused);
    QCOMPARE(Network(" n ", text.toStdString(), "").launch(), 0);
    QTRY_COMPARE(kt::recorded_groups(dir->path()).size(), 1);
    const pid_t group = kt::recorded_groups(dir->path()).first();
    // The terminal's shell ends by itself once its input is over.
    QTRY_VERIFY(kh::has_ended(group));
    QCOMPARE(QString::fromUtf8(kt::read_file("pwd")), expected_folder + "\n");
    QCOMPARE(kt::read_file("args"), QByteArray("manage.py runserver 127.0.0.2:8000\n"));
#endif
    QVERIFY2(!QFile::exists("ran"), "a command of the path was run");
}

void TestHostileShell::provisioning_uses_the_literal_name_and_path()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, provisioning_refused);
    for (const char* entry : template_entries)
        QCOMPARE(QProcess::execute("cp", {"-r", QString(KESTROVA_TEMPLATE_DIR) + "/" + entry, "."}), 0);
    stand_ins->add("django-admin", startproject_recorder);
    qputenv("KH_RECORD", dir->file("startproject").toLocal8Bit());
    qputenv("KH_PACKAGE", text);

    kt::StreamCapture err(std::cerr);
    // The same text for both: the package is then text/text/.
    const int result = create_new_network(text.toStdString(), text.toStdString());

    const QString package = QString::fromUtf8(text + "/" + text + "/");
    if (windows_build && provisioning_refused) {
        QCOMPARE(result, 1);
        QVERIFY2(QString::fromStdString(err.text()).contains(QString::fromUtf8("Aucune commande n'a été lancée.")),
                 err.text().c_str());
        QVERIFY(!QFile::exists("startproject"));
    } else {
        QVERIFY2(result == 0, err.text().c_str());
        QCOMPARE(kt::read_file("startproject"), as_operand(text) + '\0');
        for (const char* entry : template_entries) {
            const QFileInfo copied(package + entry);
            QVERIFY2(copied.exists() && copied.isDir() == QFileInfo(entry).isDir(), qPrintable(copied.filePath()));
        }
        QCOMPARE(kt::read_file(package + "settings.py"), kt::read_file("settings.py"));
    }
    QVERIFY2(!QFile::exists("ran"), "a command of the name or path was run");
}

QTEST_GUILESS_MAIN(TestHostileShell)
#include "tst_hostile_shell.moc"
