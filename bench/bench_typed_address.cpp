// Times a hub address typed into the members' window until its button is
// there, against the same hub's first answer to GET "/_infos/kl/" asked bare
// over a socket. Each measure meets a freshly started template hub, so both
// pay the hub's own first-answer cost.
#include "bench_timing.h"
#include "clientwindow.h"
#include "loopback_hubs.h"
#include "network.h"
#include "test_support.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const int rounds = 3;

// The whole answer of one GET, over a plain socket; the time it took, or -1.
double bare_answer_ms(const char* host)
{
    const double start = now_ms();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(8000);
    inet_pton(AF_INET, host, &to.sin_addr);
    const std::string request = std::string("GET /_infos/kl/ HTTP/1.1\r\nHost: ") + host
                                + ":8000\r\nConnection: close\r\n\r\n";
    std::string answer;
    char buffer[4096];
    ssize_t got = 0;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0
        && ::send(fd, request.data(), request.size(), 0) == ssize_t(request.size()))
        while ((got = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            answer.append(buffer, std::size_t(got));
    ::close(fd);
    return answer.find(" 200 ") == std::string::npos ? -1 : now_ms() - start;
}

double typed_ms(const QString& host)
{
    ClientWindow window(nullptr);
    auto* edit = window.findChild<QLineEdit*>();
    // Typed key by key, as a member does; the clock starts at Enter.
    QTest::keyClicks(edit, host);
    QCoreApplication::processEvents();
    const double start = now_ms();
    QTest::keyClick(edit, Qt::Key_Return);
    while (window.networks.empty() && now_ms() - start < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    return window.networks.empty() ? -1 : now_ms() - start;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    kt::WorkDir dir;
    kt::StandIns stand_ins;
    // No address of its own: no sweep runs beside the typed ask.
    stand_ins.add_ifconfig({});
    std::vector<double> bare;
    std::vector<double> typed;
    for (int round = 0; round < rounds; ++round) {
        const QString suffix = QString::number(round);
        auto asked_bare = kt::HubServer::django(dir.path(), "127.0.1.5", "nu" + suffix);
        auto asked_typed = kt::HubServer::django(dir.path(), "127.0.1.6", "saisi" + suffix);
        if (!asked_bare->running() || !asked_typed->running()) {
            std::fprintf(stderr, "bench_typed_address: the hubs did not start (logs in %s)\n", qPrintable(dir.path()));
            return 1;
        }
        bare.push_back(bare_answer_ms("127.0.1.5"));
        // What the window remembered would be asked at the next start.
        QFile::remove(dir.file("config/kestrova/hubs-connus.json"));
        typed.push_back(typed_ms("127.0.1.6"));
        if (bare.back() < 0 || typed.back() < 0) {
            std::fprintf(stderr, "bench_typed_address: a hub gave no answer\n");
            return 1;
        }
    }
    const double typed_median = median(typed);
    const double bare_median = median(bare);
    std::printf("typed address to button      %5.2f  (goal <= 1.2)  kestrova %.0f ms, the hub's first answer bare %.0f ms\n",
                typed_median / bare_median, typed_median, bare_median);
    return 0;
}
