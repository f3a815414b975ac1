#include "screen_parts.h"

#include <QLabel>
#include <QLayout>
#include <QMovie>
#include <QSignalMapper>

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QString network_button_text(const std::string& name)
{
    return utf8(name).replace('&', QStringLiteral("&&"));
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
    // The window's signal mappers outlive its screens. A mapped widget that
    // ends makes its mapper search all its senders for it, which turns a long
    // list of buttons into minutes of teardown: let go of them first.
    const QList<QSignalMapper*> mappers =
        window->findChildren<QSignalMapper*>(QString(), Qt::FindDirectChildrenOnly);
    for (int i = 0; !mappers.isEmpty() && i < current->count(); ++i) {
        QWidget* top = current->itemAt(i)->widget();
        if (!top)
            continue;
        QList<QWidget*> widgets = top->findChildren<QWidget*>();
        widgets << top;
        for (QWidget* widget : widgets)
            for (QSignalMapper* mapper : mappers) {
                QObject::disconnect(widget, nullptr, mapper, nullptr);
                mapper->removeMappings(widget);
            }
    }
    while (QLayoutItem* item = current->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    delete current;
}
