#include "screen_parts.h"

#include <QLabel>
#include <QLayout>
#include <QMovie>

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QLabel* animation_label(const QString& file, int width, int height)
{
    auto* label = new QLabel();
    auto* movie = new QMovie(file, QByteArray(), label);
    label->setAlignment(Qt::AlignCenter);
    label->setMovie(movie);
    label->setFixedSize(width, height);
    label->setStyleSheet("text-align:center;");
    movie->setScaledSize(label->size());
    movie->start();
    return label;
}

void remove_screen(QWidget* window)
{
    QLayout* current = window->layout();
    if (!current)
        return;
    while (QLayoutItem* item = current->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    delete current;
}
