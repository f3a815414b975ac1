#pragma once

// The one table of texts that would run a command if a shell read them as
// one: each would copy the file "marker" to "ran" (or write into "ran"), so a
// suite puts "marker" in its working directory and checks that "ran" never
// appears. The two flags: whether the Windows builds refuse the text for a
// launch or for a provisioning, no quoting making it literal there.

#include <QByteArray>
#include <QtTest>

namespace kt {

inline void hostile_texts()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("launch_refused");
    QTest::addColumn<bool>("provisioning_refused");
    QTest::newRow("blanks") << QByteArray("mes hubs/un  deux") << false << false;
    QTest::newRow("tab") << QByteArray("un\tdeux") << false << false;
    QTest::newRow(";") << QByteArray("x; cp marker ran") << false << false;
    QTest::newRow("&&") << QByteArray("x && cp marker ran") << false << false;
    QTest::newRow("||") << QByteArray("nowhere || cp marker ran") << false << false;
    QTest::newRow("|") << QByteArray("x | cp marker ran") << false << false;
    QTest::newRow("&") << QByteArray("x & cp marker ran") << false << false;
    QTest::newRow(">") << QByteArray("x > ran") << false << false;
    QTest::newRow("<") << QByteArray("x <(cp marker ran)") << false << false;
    QTest::newRow("single quotes") << QByteArray("x'; cp marker ran; '") << false << false;
    QTest::newRow("double quotes") << QByteArray("x\"; cp marker ran; \"") << true << true;
    QTest::newRow("backquotes") << QByteArray("`cp marker ran`") << false << false;
    QTest::newRow("$(...)") << QByteArray("$(cp marker ran)") << false << false;
    QTest::newRow("${IFS}") << QByteArray("x;cp${IFS}marker${IFS}ran") << false << false;
    QTest::newRow("$HOME") << QByteArray("$HOME") << false << false;
    QTest::newRow("line feed") << QByteArray("x\ncp marker ran") << true << true;
    QTest::newRow("carriage return") << QByteArray("x\r&cp marker ran") << true << true;
    QTest::newRow("*") << QByteArray("*") << false << false;
    QTest::newRow("~") << QByteArray("~") << false << false;
    QTest::newRow("leading -") << QByteArray("-") << false << false;
    QTest::newRow("leading --") << QByteArray("--version") << false << false;
    // The leading-dash branch quotes too.
    QTest::newRow("leading - and &") << QByteArray("-x & cp marker ran") << false << false;
    QTest::newRow("^") << QByteArray("x^&cp marker ran") << false << false;
    QTest::newRow("^^") << QByteArray("x^^&cp marker ran") << false << false;
    QTest::newRow("%") << QByteArray("%CD%&cp marker ran") << true << true;
    QTest::newRow("!") << QByteArray("!CD!&cp marker ran") << true << false;
    QTest::newRow("()") << QByteArray("x) & cp marker ran & (x") << false << false;
    QTest::newRow("#") << QByteArray("x #cp marker ran") << false << false;
    QTest::newRow("trailing backslash") << QByteArray("hub\\") << false << false;
    QTest::newRow("accents") << QByteArray("r\xc3\xa9seau \xc3\xa9t\xc3\xa9") << false << false;
}

} // namespace kt
