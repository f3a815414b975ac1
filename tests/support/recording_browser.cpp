#include "recording_browser.h"

#include <QDesktopServices>

namespace kt {

Browser::Browser(QWidget* watched) : watched(watched)
{
    QDesktopServices::setUrlHandler("http", this, "open");
}

Browser::~Browser()
{
    QDesktopServices::unsetUrlHandler("http");
}

void Browser::open(const QUrl& url)
{
    urls << url.toString();
    titles << (watched ? watched->windowTitle() : QString());
    screens << (watched ? watched->layout() : nullptr);
}

} // namespace kt
