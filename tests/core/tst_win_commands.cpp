#include "process_win.h"
#include "server_commands.h"

#include <QtTest>

#include <string>

class TestWinCommands : public QObject
{
    Q_OBJECT

private slots:
    void start_commands_data();
    void start_commands();
    void paths_that_cannot_be_made_literal_are_refused_data();
    void paths_that_cannot_be_made_literal_are_refused();
    void listing_and_kill_commands();
    void arguments_for_execlp_data();
    void arguments_for_execlp();
};

void TestWinCommands::start_commands_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<QString>("c");
    QTest::newRow("plain") << "hubs/lumieres"
                           << "\"cd \"hubs/lumieres\" && python manage.py runserver\" "
                           << "start cmd /c \"cd \"hubs/lumieres\" && python manage.py runserver\" && pause"
                           << "start cmd /c \"cd \"hubs/lumieres\" && python manage.py runserver\" ";
    QTest::newRow("blanks") << "mes hubs/un  deux"
                            << "\"cd \"mes hubs/un  deux\" && python manage.py runserver\" "
                            << "start cmd /c \"cd \"mes hubs/un  deux\" && python manage.py runserver\" && pause"
                            << "start cmd /c \"cd \"mes hubs/un  deux\" && python manage.py runserver\" ";
    QTest::newRow("windows folder") << "C:\\Hubs\\Un\\"
                                    << "\"cd \"C:\\Hubs\\Un\\\" && python manage.py runserver\" "
                                    << "start cmd /c \"cd \"C:\\Hubs\\Un\\\" && python manage.py runserver\" && pause"
                                    << "start cmd /c \"cd \"C:\\Hubs\\Un\\\" && python manage.py runserver\" ";
    // Inside the quotes of A the interpreter takes every character as it is; in
    // B and C the outer interpreter sees the path outside its quotes, so each
    // special character also carries a caret, which it removes before start
    // hands the line on.
    QTest::newRow("operators")
        << "a&b|c^d<e>f(g)h&&x"
        << "\"cd \"a&b|c^d<e>f(g)h&&x\" && python manage.py runserver\" "
        << "start cmd /c \"cd \"a^&b^|c^^d^<e^>f^(g^)h^&^&x\" && python manage.py runserver\" && pause"
        << "start cmd /c \"cd \"a^&b^|c^^d^<e^>f^(g^)h^&^&x\" && python manage.py runserver\" ";
    QTest::newRow("accents") << QString::fromUtf8("réseaux/été")
                             << QString::fromUtf8("\"cd \"réseaux/été\" && python manage.py runserver\" ")
                             << QString::fromUtf8("start cmd /c \"cd \"réseaux/été\" && python manage.py runserver\" && pause")
                             << QString::fromUtf8("start cmd /c \"cd \"réseaux/été\" && python manage.py runserver\" ");
}

void TestWinCommands::start_commands()
{
    QFETCH(QString, path);
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(QString, c);
    const std::string folder = path.toStdString();
    QCOMPARE(QString::fromStdString(win_start_command('A', folder)), a);
    QCOMPARE(QString::fromStdString(win_start_command('B', folder)), b);
    QCOMPARE(QString::fromStdString(win_start_command('C', folder)), c);
}

void TestWinCommands::paths_that_cannot_be_made_literal_are_refused_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::newRow("double quote") << QByteArray("x\" & del y & \"");
    QTest::newRow("percent") << QByteArray("%USERPROFILE%");
    QTest::newRow("exclamation mark") << QByteArray("a!PATH!b");
    QTest::newRow("carriage return") << QByteArray("a\rb");
    QTest::newRow("line feed") << QByteArray("a\nb");
    QTest::newRow("NUL byte") << QByteArray("a\0b", 3);
    QTest::newRow("empty") << QByteArray();
}

void TestWinCommands::paths_that_cannot_be_made_literal_are_refused()
{
    QFETCH(QByteArray, path);
    const std::string folder(path.constData(), static_cast<std::size_t>(path.size()));
    for (char configuration : {'A', 'B', 'C'})
        QCOMPARE(QString::fromStdString(win_start_command(configuration, folder)), QString());
    QCOMPARE(QString::fromStdString(win_start_command('D', "hubs/un")), QString());
}

void TestWinCommands::listing_and_kill_commands()
{
    QCOMPARE(QString::fromStdString(win_listing_command()),
             QString("for /f \"tokens=2\" %i in ('tasklist ^|findstr python') do @echo %i  > server_pid.tmp"));
    // The blanks the listing leaves after the id separate it from the option.
    QCOMPARE(QString::fromStdString(win_kill_command("4242  ")), QString("taskkill /PID 4242  /F"));
}

void TestWinCommands::arguments_for_execlp_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("plain") << "bash" << "bash";
    QTest::newRow("blanks") << "cd x && python3" << "\"cd x && python3\"";
    QTest::newRow("quote") << "say \"hi\"" << "\"say \\\"hi\\\"\"";
    QTest::newRow("backslashes not before a quote") << "a\\b c" << "\"a\\b c\"";
    QTest::newRow("backslash at the end") << "a b\\" << "\"a b\\\\\"";
    QTest::newRow("empty") << "" << "\"\"";
    QTest::newRow("tab") << "a\tb" << "\"a\tb\"";
}

void TestWinCommands::arguments_for_execlp()
{
    QFETCH(QString, argument);
    QFETCH(QString, quoted);
    QCOMPARE(QString::fromStdString(crt_quote_argument(argument.toStdString())), quoted);
}

QTEST_GUILESS_MAIN(TestWinCommands)
#include "tst_win_commands.moc"
