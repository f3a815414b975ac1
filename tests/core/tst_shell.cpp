#include "hub_utilities.h"
#include "test_support.h"

#include <QtTest>

#include <exception>
#include <iostream>
#include <stdexcept>

class TestShell : public QObject
{
    Q_OBJECT

private slots:
    void exec_cmd_returns_output_less_one_line_feed_data();
    void exec_cmd_returns_output_less_one_line_feed();
    void exec_cmd_joins_long_output_whole();
    void exec_cmd_throws_when_no_pipe_can_be_opened();
    void exec_cmd_keeps_at_most_its_limit();

    void split_lines_data();
    void split_lines();

    void get_ip_takes_the_last_non_loopback_address();
    void get_ip_is_empty_without_address_or_ifconfig();

    void shell_quote_round_trips_through_the_shell_data();
    void shell_quote_round_trips_through_the_shell();
};

void TestShell::exec_cmd_returns_output_less_one_line_feed_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("one line") << "echo hello" << QByteArray("hello");
    QTest::newRow("two final line feeds keep one") << "printf 'a\\n\\n'" << QByteArray("a\n");
    QTest::newRow("no line feed") << "printf abc" << QByteArray("abc");
    QTest::newRow("carriage return stays") << "printf 'a\\r\\n'" << QByteArray("a\r");
    QTest::newRow("nothing printed") << "true" << QByteArray();
    QTest::newRow("failure printing nothing") << "exit 3" << QByteArray();
    QTest::newRow("pipes and redirections") << "printf 'b\\na\\n' | sort 2>/dev/null" << QByteArray("a\nb");
    QTest::newRow("stderr is not captured") << "echo out; echo err >&2" << QByteArray("out");
    // Read as by 128-byte fgets: a zero byte ends what is kept of its chunk,
    // a line or 127 bytes of one.
    QTest::newRow("zero byte cuts its line") << "printf 'ab\\0cd\\nef'" << QByteArray("abef");
    QTest::newRow("zero byte cuts 127 bytes")
        << "printf '%0130d\\0yy\\nz' 0" << QByteArray(130, '0') + "z";
}

void TestShell::exec_cmd_returns_output_less_one_line_feed()
{
    QFETCH(QString, command);
    QFETCH(QByteArray, expected);
    QCOMPARE(QByteArray::fromStdString(exec_cmd(command.toStdString())), expected);
}

void TestShell::exec_cmd_joins_long_output_whole()
{
    const std::string long_line(1000, 'x');
    QCOMPARE(exec_cmd("printf '%s\\n' " + long_line), long_line);
    const std::string many = exec_cmd("seq 1 2000");
    QCOMPARE(splitLines(many).size(), std::size_t(2000));
    QCOMPARE(splitLines(many).back(), std::string("2000"));
}

void TestShell::exec_cmd_keeps_at_most_its_limit()
{
    QCOMPARE(exec_cmd("printf 'abc\\n'", 10), std::string("abc"));
    // Commands that print without end: the limit ends them, zero bytes count.
    QCOMPARE(exec_cmd("yes abc", 10), std::string("abc\nabc\nab"));
    QCOMPARE(exec_cmd("cat /dev/zero", 4096), std::string());
    QCOMPARE(exec_cmd("yes 0123456789abcdef | tr -d '\\n'", 4096).size(), std::size_t(4096));
}

void TestShell::exec_cmd_throws_when_no_pipe_can_be_opened()
{
    kt::StreamCapture out(std::cout);
    std::exception_ptr thrown;
    {
        kt::NoFreeDescriptors exhausted;
        try {
            exec_cmd("echo never");
        } catch (...) {
            // Looked at once the descriptors are back: checking its type
            // takes the undefined-behaviour sanitizer a pipe of its own.
            thrown = std::current_exception();
        }
    }
    QVERIFY(thrown);
    try {
        std::rethrow_exception(thrown);
    } catch (const std::runtime_error& error) {
        QCOMPARE(std::string(error.what()), std::string("Erreur lors de l'exécution de la commande."));
    }
    QCOMPARE(out.text(), std::string("Oh Oh"));
}

void TestShell::split_lines_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("one line and line feed") << QByteArray("a\n") << QStringList {"a"};
    QTest::newRow("empty line inside") << QByteArray("a\n\nc") << QStringList {"a", "", "c"};
    QTest::newRow("last line without line feed") << QByteArray("a\nb") << QStringList {"a", "b"};
    QTest::newRow("carriage return kept") << QByteArray("a\r\nb") << QStringList {"a\r", "b"};
}

void TestShell::split_lines()
{
    QFETCH(QByteArray, text);
    QFETCH(QStringList, lines);
    QStringList got;
    for (const std::string& line : splitLines(text.toStdString()))
        got << QString::fromStdString(line);
    QCOMPARE(got, lines);
}

void TestShell::get_ip_takes_the_last_non_loopback_address()
{
    // Documentation addresses: the listing is only read, never reached.
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({"198.51.100.7", "203.0.113.9"});
    QCOMPARE(getIp(), std::string("203.0.113.9"));
    stand_ins.add_ifconfig({"127.0.0.2"});
    QCOMPARE(getIp(), std::string("127.0.0.2"));
}

void TestShell::get_ip_is_empty_without_address_or_ifconfig()
{
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({});
    QCOMPARE(getIp(), std::string());
    stand_ins.add("ifconfig", "#!/bin/sh\nexit 127\n");
    QCOMPARE(getIp(), std::string());
}

void TestShell::shell_quote_round_trips_through_the_shell_data()
{
    QTest::addColumn<QByteArray>("argument");
    QTest::addColumn<bool>("unchanged");
    QTest::newRow("plain") << QByteArray("hubs/lumieres_2") << true;
    QTest::newRow("address") << QByteArray("127.0.0.2:8000") << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("blank") << QByteArray("mes hubs/un") << false;
    QTest::newRow("single quote") << QByteArray("l'hub") << false;
    QTest::newRow("double quote") << QByteArray("a\"b") << false;
    QTest::newRow("semicolon") << QByteArray("a; touch marker") << false;
    QTest::newRow("command substitution") << QByteArray("$(touch marker)") << false;
    QTest::newRow("backquotes") << QByteArray("`touch marker`") << false;
    QTest::newRow("variable") << QByteArray("${IFS}$HOME") << false;
    QTest::newRow("glob and tilde") << QByteArray("~/*") << false;
    QTest::newRow("line feed") << QByteArray("a\ntouch marker") << false;
    QTest::newRow("backslash") << QByteArray("a\\b") << false;
    QTest::newRow("utf-8") << QByteArray("r\xc3\xa9seau") << false;
}

void TestShell::shell_quote_round_trips_through_the_shell()
{
    QFETCH(QByteArray, argument);
    QFETCH(bool, unchanged);
    kt::WorkDir dir;
    const std::string quoted = shell_quote(argument.toStdString());
    QCOMPARE(quoted == argument.toStdString(), unchanged);
    QCOMPARE(QByteArray::fromStdString(exec_cmd("printf '%s' " + quoted)), argument);
    QVERIFY(!QFile::exists("marker"));
}

QTEST_GUILESS_MAIN(TestShell)
#include "tst_shell.moc"
