#pragma once

#include <QLayout>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QUrl>
#include <QWidget>

namespace kt {

// Stands for the desktop's browser while it lives: records each URL the
// program asks it to open, with the watched window's title and screen (its
// layout, null between two screens) at that moment.
class Browser : public QObject
{
    Q_OBJECT
public:
    explicit Browser(QWidget* watched = nullptr);
    ~Browser() override;

    QStringList urls;
    QStringList titles;
    QList<QLayout*> screens;

public slots:
    void open(const QUrl& url);

private:
    QWidget* watched;
};

} // namespace kt
