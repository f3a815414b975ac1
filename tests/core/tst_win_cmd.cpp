// The stand-in for the Windows command interpreter, form by form, reached as
// the Windows build reaches it: through kestrova_system, this test being the
// program whose family the stand-in's tasklist and taskkill are limited to.
#include "process_win.h"
#include "provisioning_commands.h"
#include "server_commands.h"
#include "test_paths.h"
#include "test_support.h"
#include "tst_win_support.h"

#include <QtTest>

#include <atomic>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>

namespace {

struct Ran
{
    int status = -1;
    QString out;
    QString err;
};

// Runs one command line as system() would, with the interpreter's output
// caught in files of `dir`.
Ran run(const QString& dir, const QString& line)
{
    Ran ran;
    {
        kw::FdToFile out(STDOUT_FILENO, dir + "/cmd.out");
        kw::FdToFile err(STDERR_FILENO, dir + "/cmd.err");
        ran.status = kestrova_system(line.toStdString());
    }
    ran.out = QString::fromUtf8(kt::read_file(dir + "/cmd.out"));
    ran.err = QString::fromUtf8(kt::read_file(dir + "/cmd.err"));
    return ran;
}

// Runs the stand-in itself with `input` on its standard input.
Ran run_with_input(const QString& line, const QByteArray& input)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(kestrova_family_variable, QString::number(::getpid()));
    process.setProcessEnvironment(environment);
    process.start(KESTROVA_CMD_PATH, {"/c", line});
    process.write(input);
    process.closeWriteChannel();
    process.waitForFinished(20000);
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
            QString::fromUtf8(process.readAllStandardError())};
}

QList<kw::Process> family_pythons()
{
    QList<kw::Process> found;
    for (const kw::Process& process : kw::descendants())
        if (process.image.startsWith("python") && process.command_line.contains("manage.py"))
            found << process;
    return found;
}

// The rows of a tasklist listing, split into their blank-separated fields.
QList<QStringList> rows_of(const QString& listing)
{
    QList<QStringList> rows;
    const QStringList lines = listing.split('\n');
    for (int i = 3; i < lines.size(); ++i)
        if (!lines[i].isEmpty())
            rows << lines[i].split(' ', Qt::SkipEmptyParts);
    return rows;
}

// Before main, in the suite run again by no_thread_to_be_had_ends_nothing.
const int without_threads = [] {
    if (!std::getenv("KW_WITHOUT_THREADS"))
        return 0;
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit limit {};
    ::getrlimit(RLIMIT_AS, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(pages) * ::sysconf(_SC_PAGESIZE) + (2 << 20);
    ::setrlimit(RLIMIT_AS, &limit);
    try {
        kestrova_system_nowait("cd .");
    } catch (...) {
        ::_exit(4);
    }
    limit.rlim_cur = unlimited;
    ::setrlimit(RLIMIT_AS, &limit);
    kestrova_system_nowait("cd .");
    ::_exit(kw::zombies_left(5000).isEmpty() ? 0 : 3);
}();

} // namespace

class TestWinCmd : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void no_thread_to_be_had_ends_nothing();
    void start_commands_run_the_server_in_the_folder_data();
    void start_commands_run_the_server_in_the_folder();
    void unquoted_operators_are_refused_not_run();
    void a_failed_cd_stops_the_chain();
    void start_returns_at_once_and_keeps_its_process_in_the_family();
    void pause_waits_for_one_key_or_the_end_of_input();
    void tasklist_lists_the_family_in_the_windows_layout();
    void findstr_filters_case_sensitively();
    void the_listing_writes_the_last_python_id();
    void taskkill_ends_only_the_family();
    void provisioning_lines_make_a_project();
    void other_forms_are_refused_and_nothing_runs_data();
    void other_forms_are_refused_and_nothing_runs();

private:
    std::unique_ptr<kt::WorkDir> dir;
    std::unique_ptr<kw::Input> input;
};

void TestWinCmd::init()
{
    dir = std::make_unique<kt::WorkDir>();
    // pause must never wait for the console of whoever runs the suite.
    input = std::make_unique<kw::Input>();
    input->close();
    qputenv("KW_RECORD", dir->file("record").toLocal8Bit());
    qunsetenv("KW_GATE");
}

void TestWinCmd::cleanup()
{
    kw::end_family();
    QCOMPARE(kw::zombies_left(), QString());
    input.reset();
    dir.reset();
}

// A program that can have no thread goes on, and the children it left are
// reaped once it can: this suite run again, as a program in which no thread
// has run yet (a freed stack would be handed out again), under an
// address-space limit that leaves no room for a thread's stack.
void TestWinCmd::no_thread_to_be_had_ends_nothing()
{
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    QSKIP("AddressSanitizer needs more address space than the limit leaves");
#endif
#elif defined(__SANITIZE_ADDRESS__)
    QSKIP("AddressSanitizer needs more address space than the limit leaves");
#endif
    QProcess again;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KW_WITHOUT_THREADS", "1");
    again.setProcessEnvironment(environment);
    again.start(QCoreApplication::applicationFilePath(), QStringList());
    QVERIFY(again.waitForFinished(20000));
    QVERIFY2(again.exitStatus() == QProcess::NormalExit && again.exitCode() == 0,
             qPrintable(QString("exit %1: %2").arg(again.exitCode()).arg(QString(again.readAllStandardError()))));
}

void TestWinCmd::start_commands_run_the_server_in_the_folder_data()
{
    QTest::addColumn<char>("configuration");
    QTest::addColumn<QString>("folder");
    const QStringList folders {"hub", "mes hubs/un  deux", "a&b|c^d<e>f(g)h",
                               "x&&cp marker ran&&cd x", "x\"^&cp marker ran^&\"x"};
    for (char configuration : {'A', 'B', 'C'})
        for (const QString& folder : folders)
            QTest::addRow("%c: %s", configuration, qPrintable(folder)) << configuration << folder;
}

void TestWinCmd::start_commands_run_the_server_in_the_folder()
{
    QFETCH(char, configuration);
    QFETCH(QString, folder);
    kt::write_file("marker", "");
    if (folder.contains('"')) {
        // No quoting makes a double quote literal: nothing is composed at all.
        QCOMPARE(QString::fromStdString(win_start_command(configuration, folder.toStdString())), QString());
        return;
    }
    kw::write_recording_project(dir->file(folder));
    const QString line = QString::fromStdString(win_start_command(configuration, folder.toStdString()));
    const Ran ran = run(dir->path(), line);

    QVERIFY2(ran.status == 0, qPrintable(line + "\n" + ran.err));
    QTRY_COMPARE(kw::recorded_runs(dir->file("record")),
                 QStringList {QDir(dir->file(folder)).canonicalPath() + "|runserver"});
    QVERIFY2(!QFile::exists("ran"), qPrintable(line));
    QCOMPARE(ran.err, QString());
    QCOMPARE(ran.out, configuration == 'B' ? QString("Appuyez sur une touche pour continuer...\n") : QString());

    // The server's two streams to a file whose name holds the folder's characters.
    kt::write_file(dir->file(folder) + "/manage.py", "import sys\nprint('dit', flush=True)\nsys.exit('raison')\n");
    const QString output = dir->file(folder) + "/sortie";
    const QString redirected =
        QString::fromStdString(win_start_command(configuration, folder.toStdString(), output.toStdString()));
    const Ran told = run(dir->path(), redirected);
    QVERIFY2(told.status == 0 || configuration == 'A', qPrintable(redirected + "\n" + told.err));
    QTRY_COMPARE(kt::read_file(output), QByteArray("dit\nraison\n"));
    QVERIFY(!told.out.contains("raison") && !told.err.contains("raison"));
    QVERIFY2(!QFile::exists("ran"), qPrintable(redirected));
}

void TestWinCmd::unquoted_operators_are_refused_not_run()
{
    // The text as it stood before the path was quoted: the stand-in, like the
    // interpreter, sees an operator in the path, and refuses rather than run it.
    kt::write_file("marker", "");
    kw::write_recording_project(dir->file("x"));
    const Ran ran = run(dir->path(), "\"cd x&cp marker ran&cd x && python manage.py runserver\" ");
    QCOMPARE(ran.status, 9);
    QVERIFY2(ran.err.contains("ligne refusée"), qPrintable(ran.err));
    QVERIFY(!QFile::exists("ran"));
    QVERIFY(!QFile::exists("record"));

    // A blank alone is no operator: cd takes the rest of its line.
    kw::write_recording_project(dir->file("mes hubs"));
    QCOMPARE(run(dir->path(), "\"cd mes hubs && python manage.py runserver\" ").status, 0);
    QCOMPARE(kw::recorded_runs(dir->file("record")),
             QStringList {QDir(dir->file("mes hubs")).canonicalPath() + "|runserver"});
}

void TestWinCmd::a_failed_cd_stops_the_chain()
{
    kw::write_recording_project(dir->file("hub"));
    const Ran ran = run(dir->path(), "\"cd \"nowhere\" && python manage.py runserver\" ");
    QCOMPARE(ran.status, 1);
    QCOMPARE(ran.err, QString::fromUtf8("Le chemin d'accès spécifié est introuvable.\n"));
    QVERIFY(!QFile::exists("record"));
}

void TestWinCmd::start_returns_at_once_and_keeps_its_process_in_the_family()
{
    kw::write_recording_project(dir->file("hub"));
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
    const Ran ran = run(dir->path(), QString::fromStdString(win_start_command('C', "hub")));
    QCOMPARE(ran.status, 0);
    // The server is still held at its gate: start did not wait for it.
    QTRY_COMPARE(kw::recorded_runs(dir->file("record")).size(), 1);
    const QList<kw::Process> servers = family_pythons();
    QCOMPARE(servers.size(), 1);

    const Ran listing = run(dir->path(), "tasklist");
    QCOMPARE(listing.status, 0);
    QStringList listed;
    for (const QStringList& row : rows_of(listing.out))
        listed << row.value(1) + " " + row.value(0);
    QVERIFY2(listed.contains(QString::number(servers[0].pid) + " " + servers[0].image), qPrintable(listing.out));
    QVERIFY2(servers[0].image.startsWith("python"), qPrintable(servers[0].image));
    QVERIFY2(!listing.out.contains("manage.py"), qPrintable(listing.out));

    kt::write_file("gate", "");
    QTRY_VERIFY(!kw::alive(servers[0].pid));
    // The keeper that start left behind ends with its server and is reaped.
    QTRY_VERIFY_WITH_TIMEOUT(kw::descendants().isEmpty(), 5000);
    QCOMPARE(kw::zombies_left(), QString());
}

void TestWinCmd::pause_waits_for_one_key_or_the_end_of_input()
{
    kw::write_recording_project(dir->file("hub"));
    const QString line = QString::fromStdString(win_start_command('B', "hub"));
    {
        kw::Input keyboard;
        std::atomic<bool> returned {false};
        Ran ran;
        std::thread interpreter([&] {
            ran = run(dir->path(), line);
            returned = true;
        });
        QTRY_COMPARE(kw::recorded_runs(dir->file("record")).size(), 1);
        QThread::msleep(300);
        const bool waited = !returned;
        keyboard.send("x");
        interpreter.join();
        QVERIFY2(waited, "pause returned before a key reached it");
        QCOMPARE(ran.status, 0);
        QCOMPARE(ran.out, QString("Appuyez sur une touche pour continuer...\n"));
    }
    // At the end of input pause returns as well (this suite's input is closed).
    QCOMPARE(run(dir->path(), "pause").status, 0);
    // One key only: what follows it is left for whoever reads next.
    const Ran keys = run_with_input("pause", "xy");
    QCOMPARE(keys.status, 0);
}

void TestWinCmd::tasklist_lists_the_family_in_the_windows_layout()
{
    kw::Outsider outsider;
    QVERIFY(outsider.running());
    kw::write_recording_project(dir->file("hub"));
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
    QCOMPARE(run(dir->path(), QString::fromStdString(win_start_command('C', "hub"))).status, 0);
    QTRY_COMPARE(family_pythons().size(), 1);

    QSet<QString> family;
    for (const kw::Process& process : kw::descendants())
        family << QString::number(process.pid);
    const QString listing = run(dir->path(), "tasklist").out;
    const QStringList lines = listing.split('\n');
    QCOMPARE(lines.value(0), QString());
    QCOMPARE(lines.value(1), QString("Image Name                     PID Session Name        Session#    Mem Usage"));
    QCOMPARE(lines.value(2), QString("========================= ======== ================ =========== ============"));
    const QRegularExpression row("^\\S.{24} [ 0-9]{7}[0-9] Console {20}1 [ 0-9,]{9}[0-9] K$");
    // Besides what ran before, the interpreter that ran the listing lists itself.
    int interpreters = 0;
    for (int i = 3; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        QVERIFY2(row.match(lines[i]).hasMatch(), qPrintable(lines[i]));
        if (!family.contains(lines[i].mid(26, 8).trimmed()) && lines[i].startsWith("kestrova-cmd "))
            ++interpreters;
        else
            QVERIFY2(family.contains(lines[i].mid(26, 8).trimmed()), qPrintable("not started by this test: " + lines[i]));
    }
    QCOMPARE(interpreters, 1);
    for (const QStringList& fields : rows_of(listing)) {
        QVERIFY(fields.value(1) != QString::number(outsider.pid()));
        QVERIFY(fields.value(1) != QString::number(::getpid()));
    }
    QVERIFY(outsider.running());
    kt::write_file("gate", "");
}

void TestWinCmd::findstr_filters_case_sensitively()
{
    kw::write_recording_project(dir->file("hub"));
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
    QCOMPARE(run(dir->path(), QString::fromStdString(win_start_command('C', "hub"))).status, 0);
    QTRY_COMPARE(family_pythons().size(), 1);

    const Ran pythons = run(dir->path(), "tasklist |findstr python");
    QCOMPARE(pythons.status, 0);
    const QList<QStringList> rows = rows_of("\n\n\n" + pythons.out);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value(1), QString::number(family_pythons()[0].pid));
    const Ran upper = run(dir->path(), "tasklist | findstr Python");
    QCOMPARE(upper.status, 1);
    QCOMPARE(upper.out, QString());

    const Ran filtered = run_with_input("findstr python", "alpha\nbeta python\nPYTHON\npythonic\n");
    QCOMPARE(filtered.status, 0);
    QCOMPARE(filtered.out, QString("beta python\npythonic\n"));
    QCOMPARE(run_with_input("findstr python", "nothing\n").status, 1);
    kt::write_file("gate", "");
}

void TestWinCmd::the_listing_writes_the_last_python_id()
{
    const QString listing = QString::fromStdString(win_listing_command());
    // Nothing matches: the file is left as it was.
    kt::write_file("server_pid.tmp", "4242  \n");
    QCOMPARE(run(dir->path(), listing).status, 0);
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray("4242  \n"));

    kw::write_recording_project(dir->file("un"));
    kw::write_recording_project(dir->file("deux"));
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
    QCOMPARE(run(dir->path(), QString::fromStdString(win_start_command('C', "un"))).status, 0);
    QTRY_COMPARE(family_pythons().size(), 1);
    QCOMPARE(run(dir->path(), QString::fromStdString(win_start_command('C', "deux"))).status, 0);
    QTRY_COMPARE(family_pythons().size(), 2);
    pid_t last = 0;
    for (const kw::Process& process : family_pythons())
        if (QFile::symLinkTarget("/proc/" + QString::number(process.pid) + "/cwd").endsWith("/deux"))
            last = process.pid;
    QVERIFY(last > 0);

    const Ran ran = run(dir->path(), listing);
    QCOMPARE(ran.status, 0);
    QCOMPARE(ran.out, QString());
    QCOMPARE(kt::read_file("server_pid.tmp"), QByteArray::number(last) + "  \n");
    kt::write_file("gate", "");
}

void TestWinCmd::taskkill_ends_only_the_family()
{
    kw::Outsider outsider;
    QVERIFY(outsider.running());
    kw::write_recording_project(dir->file("hub"));
    qputenv("KW_GATE", dir->file("gate").toLocal8Bit());
    QCOMPARE(run(dir->path(), QString::fromStdString(win_start_command('C', "hub"))).status, 0);
    QTRY_COMPARE(family_pythons().size(), 1);
    const pid_t server = family_pythons()[0].pid;

    for (pid_t stranger : {outsider.pid(), ::getpid(), pid_t(1), pid_t(999999999)}) {
        const Ran refused = run(dir->path(), QString("taskkill /PID %1  /F").arg(stranger));
        QCOMPARE(refused.status, 128);
        QVERIFY2(refused.err.contains(QString::number(stranger)) && refused.err.contains("n'a pas été lancé"),
                 qPrintable(refused.err));
    }
    QVERIFY(outsider.running());
    QVERIFY(kw::alive(server));

    const Ran ended = run(dir->path(), QString("taskkill /PID %1  /F").arg(server));
    QCOMPARE(ended.status, 0);
    QCOMPARE(ended.out, QString::fromUtf8("Opération réussie : le processus avec PID %1 a été arrêté.\n").arg(server));
    QVERIFY(!kw::alive(server));
    QVERIFY(outsider.running());
    QTRY_VERIFY_WITH_TIMEOUT(kw::descendants().size() == 1, 5000); // the outsider alone
}

void TestWinCmd::provisioning_lines_make_a_project()
{
    const QString templates = KESTROVA_TEMPLATE_DIR;
    for (const char* file : {"settings.py", "urls.py"})
        QVERIFY(QFile::copy(templates + "/" + file, dir->file(file)));
    for (const char* folder : {"hubs", "ressources", "templates", "static"})
        QCOMPARE(QProcess::execute("cp", {"-r", templates + "/" + folder, dir->path()}), 0);

    const std::vector<std::string> lines = provisioning_commands("lumieres", "lumieres");
    QCOMPARE(lines.size(), std::size_t(7));
    for (const std::string& line : lines) {
        const Ran ran = run(dir->path(), QString::fromStdString(line));
        QVERIFY2(ran.status == 0, qPrintable(QString::fromStdString(line) + "\n" + ran.err));
    }
    QVERIFY(QFile::exists("lumieres/manage.py"));
    QCOMPARE(kt::read_file("lumieres/lumieres/settings.py"), kt::read_file("settings.py"));
    QCOMPARE(kt::read_file("lumieres/lumieres/urls.py"), kt::read_file("urls.py"));
    for (const char* folder : {"hubs", "ressources", "templates", "static"})
        QVERIFY2(QFileInfo(QString("lumieres/lumieres/") + folder).isDir(), folder);

    // The project name is Django's to judge: a failure is its message and status.
    const Ran again = run(dir->path(), "django-admin startproject \"lumieres\"");
    QVERIFY(again.status != 0);
    QVERIFY2(again.err.contains("lumieres"), qPrintable(again.err));

    // django-admin is looked for on the search path, as the interpreter does.
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", dir->path().toLocal8Bit());
    const Ran missing = run(dir->path(), "django-admin startproject \"ailleurs\"");
    qputenv("PATH", path);
    QVERIFY(missing.status != 0);
    QVERIFY2(missing.err.contains(QString::fromUtf8("« django-admin » n'est pas reconnu")), qPrintable(missing.err));
    QVERIFY(!QFile::exists("ailleurs"));
}

void TestWinCmd::other_forms_are_refused_and_nothing_runs_data()
{
    QTest::addColumn<QString>("line");
    const QString listing_head = "for /f \"tokens=2\" %i in ('tasklist ^|findstr python') do ";
    QTest::newRow("unknown command") << "echo hi";
    QTest::newRow("unknown command after a known one") << "cp marker ran && del marker";
    QTest::newRow("single ampersand") << "cp marker ran & cd x";
    QTest::newRow("or") << "cd nowhere || cp marker ran";
    QTest::newRow("redirection") << "cp marker ran > out";
    QTest::newRow("the server's redirection after another program") << "cp marker ran > out 2>&1";
    QTest::newRow("input redirection") << "cp marker ran < marker";
    QTest::newRow("variable") << "cp marker %TEMP%";
    QTest::newRow("block") << "(cp marker ran)";
    QTest::newRow("echo off sign") << "@cp marker ran";
    QTest::newRow("two lines") << "cd x\ncp marker ran";
    QTest::newRow("python without manage.py") << "python -c \"open('ran', 'w')\"";
    QTest::newRow("start of another program") << "start python manage.py runserver";
    QTest::newRow("start with an option") << "start /b cmd /c \"cp marker ran\"";
    QTest::newRow("start of a refused line") << "start cmd /c \"cp marker ran && del marker\"";
    QTest::newRow("cmd in the foreground") << "cmd /c \"cp marker ran\"";
    QTest::newRow("cd /d") << "cd /d x && cp marker ran";
    QTest::newRow("bare cd") << "cd && cp marker ran";
    QTest::newRow("tasklist option") << "tasklist /v";
    QTest::newRow("findstr option") << "tasklist |findstr /i python";
    QTest::newRow("findstr expression") << "tasklist |findstr py.*";
    QTest::newRow("findstr two words") << "tasklist |findstr \"py thon\"";
    QTest::newRow("pipe into a program") << "tasklist | cp marker ran";
    QTest::newRow("taskkill by image name") << "taskkill /IM python.exe /F";
    QTest::newRow("taskkill of a tree") << "taskkill /PID 1 /T /F";
    QTest::newRow("taskkill without force") << "taskkill /PID 1";
    QTest::newRow("django-admin other command") << "django-admin runserver";
    QTest::newRow("django-admin option") << "django-admin startproject --template=x ran";
    QTest::newRow("cp option") << "cp -f marker ran";
    QTest::newRow("cp three operands") << "cp marker ran other";
    QTest::newRow("cp operand like an option") << "cp marker -ran";
    QTest::newRow("for without @") << listing_head + "echo %i  > ran";
    QTest::newRow("for appending") << listing_head + "@echo %i  >> ran";
    QTest::newRow("for other command") << listing_head + "@cp marker ran";
    QTest::newRow("for other options") << "for /f \"tokens=2 delims=,\" %i in ('tasklist ^|findstr python') do @echo %i  > ran";
    QTest::newRow("for over a program") << "for /f \"tokens=2\" %i in ('cp marker ran') do @echo %i  > out";
    QTest::newRow("for with another variable") << listing_head + "@echo %i %PATH%  > ran";
}

void TestWinCmd::other_forms_are_refused_and_nothing_runs()
{
    QFETCH(QString, line);
    kt::write_file("marker", "");
    const Ran ran = run(dir->path(), line);
    QCOMPARE(ran.status, 9);
    QVERIFY2(ran.err.startsWith(QString::fromUtf8("kestrova-cmd : ligne refusée, rien n'est lancé : ")),
             qPrintable(ran.err));
    QCOMPARE(ran.out, QString());
    QCOMPARE(QDir().entryList(QDir::Files | QDir::NoDotAndDotDot),
             QStringList({"cmd.err", "cmd.out", "marker"}));
    QVERIFY(kw::descendants().isEmpty());
}

QTEST_GUILESS_MAIN(TestWinCmd)
#include "tst_win_cmd.moc"
