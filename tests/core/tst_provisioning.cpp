#include "hostile_texts.h"
#include "hub_utilities.h"
#include "provisioning_commands.h"
#include "test_paths.h"
#include "test_support.h"

#include <QtTest>

#include <fcntl.h>
#include <iostream>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char* const template_entries[] = {"settings.py", "urls.py", "hubs", "ressources", "templates", "static"};
const char* const copy_prefixes[] = {"cp settings.py ",    "cp urls.py ",        "cp -r hubs/ ",
                                     "cp -r ressources/ ", "cp -r templates/ ", "cp -r static/ "};

// Provisioning copies from the working directory, so it must hold the template.
void copy_template_into(const QString& dir)
{
    for (const char* entry : template_entries)
        QCOMPARE(QProcess::execute("cp", {"-r", QString(KESTROVA_TEMPLATE_DIR) + "/" + entry, dir + "/"}), 0);
}

// Every file under `dir` (hidden ones included) with its content.
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(dir).relativeFilePath(path), it.fileInfo().isDir() ? "<dir>" : kt::read_file(path));
    }
    return files;
}

QStringList entries(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                               QDir::Name);
}

// The hub's development server in a process group of its own, its output in `log`.
pid_t start_server(const QString& project, const QString& log)
{
    const QByteArray folder = project.toLocal8Bit();
    const int out = ::open(log.toLocal8Bit().constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        if (::chdir(folder.constData()) == 0 && ::dup2(out, STDOUT_FILENO) >= 0
            && ::dup2(out, STDERR_FILENO) >= 0)
            ::execlp("python3", "python3", "manage.py", "runserver", "127.0.0.2:8000", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out);
    if (child > 0)
        ::setpgid(child, child);
    return child;
}

QString joined(const std::vector<std::string>& commands)
{
    QStringList lines;
    for (const std::string& command : commands)
        lines << QString::fromStdString(command);
    return lines.join('\n');
}

// The message of a stopped provisioning of "quartier" names the step that failed.
bool reports_failed_step(const kt::StreamCapture& err, std::size_t step)
{
    const std::string text = err.text();
    return text.find("s'est arrêtée") != std::string::npos
        && text.find(provisioning_commands("quartier", "quartier").at(step)) != std::string::npos;
}

} // namespace

class TestProvisioning : public QObject
{
    Q_OBJECT

private slots:
    void command_texts_data();
    void command_texts();

    void provisioned_hub_serves_its_name();
    void second_run_leaves_the_first_project_alone();
    void empty_path_writes_nothing();
    void first_failure_stops_the_rest();
    void name_other_than_the_package_runs_nothing_data();
    void name_other_than_the_package_runs_nothing();
    void empty_name_and_path_say_what_the_name_must_be();
    void shell_characters_run_nothing_else_data() { kt::hostile_texts(); }
    void shell_characters_run_nothing_else();
#ifdef KESTROVA_WINDOWS_BUILD
    void unquotable_arguments_run_nothing_data();
    void unquotable_arguments_run_nothing();
#endif
};

void TestProvisioning::command_texts_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("project");
    QTest::addColumn<QString>("package");
#ifdef KESTROVA_WINDOWS_BUILD
    QTest::newRow("plain") << "quartier" << "quartier" << "\"quartier\"" << "\"quartier/quartier/\"";
    QTest::newRow("blanks") << "mon reseau" << "mes hubs" << "\"mes hubs\"" << "\"mes hubs/mon reseau/\"";
    QTest::newRow("interpreter characters") << "a&b|c" << "x>y" << "\"x>y\"" << "\"x>y/a&b|c/\"";
    QTest::newRow("leading dash") << "x" << "-h" << "\"./-h\"" << "\"./-h/x/\"";
    QTest::newRow("empty path") << "quartier" << "" << "\"\"" << "\"/quartier/\"";
#else
    QTest::newRow("plain") << "quartier" << "quartier" << "quartier" << "quartier/quartier/";
    QTest::newRow("blanks") << "mon reseau" << "mes hubs" << "'mes hubs'" << "'mes hubs/mon reseau/'";
    QTest::newRow("quote") << "l'hub" << "l'hub" << "'l'\\''hub'" << "'l'\\''hub/l'\\''hub/'";
    QTest::newRow("shell characters") << "$(x)" << "a;b" << "'a;b'" << "'a;b/$(x)/'";
    QTest::newRow("leading dash") << "x" << "-h" << "./-h" << "./-h/x/";
    QTest::newRow("empty path") << "quartier" << "" << "''" << "/quartier/";
#endif
}

void TestProvisioning::command_texts()
{
    QFETCH(QString, name);
    QFETCH(QString, path);
    QFETCH(QString, project);
    QFETCH(QString, package);
    QStringList expected {"django-admin startproject " + project};
    for (const char* prefix : copy_prefixes)
        expected << prefix + package;
    QCOMPARE(joined(provisioning_commands(name.toStdString(), path.toStdString())), expected.join('\n'));
}

void TestProvisioning::provisioned_hub_serves_its_name()
{
    kt::WorkDir dir;
    copy_template_into(dir.path());
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();

    QCOMPARE(create_new_network("quartier", "quartier"), 0);

    QVERIFY(QFile::exists(dir.file("quartier/manage.py")));
    for (const char* file : {"settings.py", "urls.py"})
        QVERIFY2(kt::read_file(dir.file(QString("quartier/quartier/") + file))
                     == kt::read_file(QString(KESTROVA_TEMPLATE_DIR) + "/" + file),
                 file);
    for (const char* folder : {"hubs", "ressources", "templates", "static"})
        QCOMPARE(snapshot(dir.file(QString("quartier/quartier/") + folder)),
                 snapshot(QString(KESTROVA_TEMPLATE_DIR) + "/" + folder));

    const pid_t server = start_server(dir.file("quartier"), dir.file("server.log"));
    QVERIFY(server > 0);
    const bool up = kt::wait_for_port("127.0.0.2", 8000, 30000);
    const QByteArray head = up ? kt::http("HEAD", "http://127.0.0.2:8000/") : QByteArray();
    const QByteArray name = up ? kt::http("GET", "http://127.0.0.2:8000/_infos/kl/") : QByteArray();
    kt::stop_process_group(server);

    QVERIFY2(up, kt::read_file(dir.file("server.log")).constData());
    QVERIFY2(head.startsWith("HTTP/1.1 200 OK"), head.constData());
    QVERIFY2(name.endsWith("\r\n\r\nquartier"), name.constData());
}

void TestProvisioning::second_run_leaves_the_first_project_alone()
{
    kt::WorkDir dir;
    copy_template_into(dir.path());
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();
    QCOMPARE(create_new_network("quartier", "quartier"), 0);
    // The keeper's own changes are what a second copy would destroy.
    kt::write_file(dir.file("quartier/quartier/settings.py"), "# reglages du gardien\n");
    kt::write_file(dir.file("quartier/quartier/urls.py"), "# adresses du gardien\n");
    kt::write_file(dir.file("quartier/quartier/hubs/views.py"), "# vues du gardien\n");
    const QMap<QString, QByteArray> before = snapshot(dir.file("quartier"));

    kt::StreamCapture err(std::cerr);
    QCOMPARE(create_new_network("quartier", "quartier"), 1);

    QCOMPARE(snapshot(dir.file("quartier")), before);
    QVERIFY2(reports_failed_step(err, 0), err.text().c_str());
}

void TestProvisioning::empty_path_writes_nothing()
{
    kt::WorkDir dir;
    copy_template_into(dir.path());
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();
    // With an empty path the copies aim at "/" + name + "/": a name that makes
    // that a folder under our own temporary one keeps a regression in /tmp.
    QTemporaryDir elsewhere;
    const QString outside = elsewhere.filePath("hors");
    const QMap<QString, QByteArray> before = snapshot(dir.path());

    QCOMPARE(create_new_network(outside.mid(1).toStdString(), ""), 1);

    QVERIFY2(!QFileInfo::exists(outside), qPrintable(outside));
    QCOMPARE(entries(elsewhere.path()), QStringList());
    QCOMPARE(snapshot(dir.path()), before);
}

void TestProvisioning::first_failure_stops_the_rest()
{
    kt::WorkDir dir;
    copy_template_into(dir.path());
    QVERIFY(QDir(dir.file("ressources")).removeRecursively());
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();

    kt::StreamCapture err(std::cerr);
    QCOMPARE(create_new_network("quartier", "quartier"), 1);

    // Steps 1 to 4 ran, step 5 failed, 6 and 7 never ran.
    const QStringList package = entries(dir.file("quartier/quartier"));
    QVERIFY2(package.contains("hubs") && !package.contains("templates") && !package.contains("static"),
             qPrintable(package.join(' ')));
    QVERIFY2(reports_failed_step(err, 4), err.text().c_str());
}

void TestProvisioning::name_other_than_the_package_runs_nothing_data()
{
    QTest::addColumn<QByteArray>("name");
    // Beside the package, where the copies would leave Django's settings in force.
    QTest::newRow("empty") << QByteArray("");
    QTest::newRow(".") << QByteArray(".");
    QTest::newRow("trailing slash") << QByteArray("quartier/");
    // No such folder: the copies would fail after a bare project was made.
    QTest::newRow("another name") << QByteArray("atelier");
    QTest::newRow("another case") << QByteArray("Quartier");
    // Out of the project, or further up.
    QTest::newRow("..") << QByteArray("..");
    QTest::newRow("through the package") << QByteArray("quartier/../../..");
#ifdef KESTROVA_WINDOWS_BUILD
    QTest::newRow("backslashes") << QByteArray("..\\..");
#endif
}

void TestProvisioning::name_other_than_the_package_runs_nothing()
{
    QFETCH(QByteArray, name);
    // The working directory is a folder inside ours, so that copies that
    // climbed out of the project would still land where the test sees them.
    kt::WorkDir outer;
    QVERIFY(QDir(outer.path()).mkdir("atelier"));
    QVERIFY(QDir::setCurrent(outer.file("atelier")));
    copy_template_into(outer.file("atelier"));
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();
    const QMap<QString, QByteArray> before = snapshot(outer.path());

    kt::StreamCapture err(std::cerr);
    QCOMPARE(create_new_network(name.toStdString(), "quartier"), 1);

    QCOMPARE(QString::fromStdString(err.text()),
             QString::fromUtf8("Le réseau « " + name + " » n'a pas été créé : son nom doit être « quartier », le nom "
                               "du paquet que django-admin crée pour le chemin « quartier ». Aucune commande n'a été "
                               "lancée.\n"));
    // No bare project is left to block the retry with the right name.
    QCOMPARE(snapshot(outer.path()), before);
}

void TestProvisioning::empty_name_and_path_say_what_the_name_must_be()
{
    kt::WorkDir dir;
    const QMap<QString, QByteArray> before = snapshot(dir.path());
    kt::StreamCapture err(std::cerr);
    QCOMPARE(create_new_network("", ""), 1);
    QVERIFY2(err.text().find("son nom doit être ce même chemin") != std::string::npos, err.text().c_str());
    QCOMPARE(snapshot(dir.path()), before);
}

void TestProvisioning::shell_characters_run_nothing_else()
{
    QFETCH(QByteArray, text);
    kt::WorkDir dir;
    copy_template_into(dir.path());
    kt::StandIns stand_ins;
    stand_ins.prefer_system_python();
    kt::write_file(dir.file("marker"), "");
    const QMap<QString, QByteArray> before = snapshot(dir.path());

    // As name and path both: Django refuses such a project name, or the
    // build cannot quote it at all; either way nothing else may appear.
    QCOMPARE(create_new_network(text.toStdString(), text.toStdString()), 1);

    QCOMPARE(snapshot(dir.path()), before);
}

#ifdef KESTROVA_WINDOWS_BUILD
void TestProvisioning::unquotable_arguments_run_nothing_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("double quote") << QByteArray("x\" & echo marker > marker & \"");
    QTest::newRow("percent") << QByteArray("%PATH%");
    QTest::newRow("line feed") << QByteArray("x\necho marker > marker");
    QTest::newRow("carriage return") << QByteArray("x\r");
}

void TestProvisioning::unquotable_arguments_run_nothing()
{
    QFETCH(QByteArray, text);
    kt::WorkDir dir;
    copy_template_into(dir.path());
    const QMap<QString, QByteArray> before = snapshot(dir.path());

    QVERIFY(provisioning_commands(text.toStdString(), text.toStdString()).empty());
    kt::StreamCapture err(std::cerr);
    QCOMPARE(create_new_network(text.toStdString(), text.toStdString()), 1);

    QVERIFY2(QString::fromStdString(err.text()).contains("ne sait pas protéger. Aucune commande n'a été lancée."),
             err.text().c_str());
    QCOMPARE(snapshot(dir.path()), before);
}
#endif

QTEST_GUILESS_MAIN(TestProvisioning)
#include "tst_provisioning.moc"
