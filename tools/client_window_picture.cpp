// Shows the client window alone, as a caller would construct it, for the
// README's pictures. The window searches the /24 around this computer's
// address while it is built, so nothing is searched unless that address is a
// loopback one (an ifconfig stand-in first on PATH).
#include "clientwindow.h"
#include "hub_utilities.h"

#include <QApplication>
#include <QFile>
#include <QString>

#include <iostream>

int main(int argc, char** argv)
{
    const std::string address = getIp();
    if (address.compare(0, 4, "127.") != 0) {
        std::cerr << "kestrova-client-window-picture : l'adresse de cet ordinateur (« " << address
                  << " ») n'est pas une adresse de bouclage ; aucune recherche n'est lancée."
                  << std::endl;
        return 1;
    }

    QApplication app(argc, argv);
    // The style sheet as the program applies it.
    QFile style("style.qss");
    if (style.open(QIODevice::ReadOnly))
        app.setStyleSheet(QString::fromLatin1(style.readAll().constData()));

    ClientWindow window;
    window.show();
    return app.exec();
}
