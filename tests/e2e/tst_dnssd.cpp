// Run inside the second of two namespaces by scripts/lan-namespaces.py: a real hub
// started in the first one appears in this one's client window, and goes.
#include "clientwindow.h"
#include "network.h"
#include "test_support.h"

#include <QtTest>
#include <QtWidgets>

#include <csignal>

namespace {

QStringList hub_buttons(QWidget& window)
{
    QStringList names;
    for (QPushButton* button : window.findChildren<QPushButton*>())
        if (button->property("class") == "net-btn")
            names << button->text();
    return names;
}

} // namespace

class TestDnssd : public QObject
{
    Q_OBJECT

private slots:
    void announced_hub_comes_and_goes();
};

void TestDnssd::announced_hub_comes_and_goes()
{
    const QString hub_netns = qEnvironmentVariable("KESTROVA_HUB_NETNS");
    if (hub_netns.isEmpty())
        QSKIP("runs inside the namespaces of scripts/lan-namespaces.py");
    kt::WorkDir dir;
    // Were the search to sweep, it would stay inside this namespace's /24.
    kt::StandIns stand_ins;
    stand_ins.add_ifconfig({"192.0.2.2"});
    const QString project = kt::provision_hub(dir.path(), "lumiere");
    QVERIFY(!project.isEmpty());

    ClientWindow window(nullptr);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // As Kestrova starts it: with the autoreloader, whose child serves.
    QProcess hub;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DBUS_SYSTEM_BUS_ADDRESS", qEnvironmentVariable("KESTROVA_HUB_BUS"));
    environment.insert("PATH", "/usr/bin:" + environment.value("PATH"));
    hub.setProcessEnvironment(environment);
    hub.setWorkingDirectory(project);
    hub.setStandardOutputFile(dir.file("hub.log"));
    hub.setStandardErrorFile(dir.file("hub.log"));
    hub.start("ip", {"netns", "exec", hub_netns, "setsid", "/usr/bin/python3", "manage.py", "runserver",
                     "192.0.2.1:8000"});
    QVERIFY(hub.waitForStarted());
    const pid_t group = static_cast<pid_t>(hub.processId());
    QVERIFY2(kt::wait_for_port("192.0.2.1", 8000, 30000), kt::read_file(dir.file("hub.log")).constData());

    QTRY_COMPARE_WITH_TIMEOUT(hub_buttons(window), QStringList {"lumiere"}, 2000);
    QCOMPARE(QString::fromStdString(window.networks.at(0)->address), QString("192.0.2.1:8000"));

    // Stopped as a closed terminal stops it: the whole group at once.
    kt::stop_process_group(group);
    QTRY_COMPARE_WITH_TIMEOUT(hub_buttons(window), QStringList(), 5000);
    QCOMPARE(window.layout()->count(), 4);
    QCOMPARE(window.styleSheet(), QString(" background: #fff;"));
    QVERIFY(window.networks.empty());

    // This host's daemon restarts, as after an upgrade, and the hub comes back
    // where only DNS-SD can find it: the sweep stays on loopback.
    stand_ins.add_ifconfig({"127.0.0.2"});
    const pid_t daemon = qEnvironmentVariableIntValue("KESTROVA_AVAHI_PID");
    QVERIFY(::kill(daemon, SIGTERM) == 0);
    QTRY_VERIFY(kt::read_file(QString("/proc/%1/stat").arg(daemon)).contains(") Z "));
    QProcess avahi, again;
    avahi.start("sh", {"-c", qEnvironmentVariable("KESTROVA_AVAHI_COMMAND")});
    again.setProcessEnvironment(environment);
    again.setWorkingDirectory(project);
    again.start(hub.program(), hub.arguments());
    // Well before the next sweep, half a minute on.
    QTRY_COMPARE_WITH_TIMEOUT(hub_buttons(window), QStringList {"lumiere"}, 15000);
    kt::stop_process_group(static_cast<pid_t>(again.processId()));
    avahi.terminate();
    avahi.waitForFinished();
}

QTEST_MAIN(TestDnssd)
#include "tst_dnssd.moc"
