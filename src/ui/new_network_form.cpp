#include "new_network_form.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QTimer>

namespace {

class LabelActivation : public QObject
{
public:
    LabelActivation(QLabel* label, std::function<void()> activated)
        : QObject(label)
        , activated(std::move(activated))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Only a widget's parts are used: the filter also sees the label's
        // last events from ~QWidget, when it is a QLabel no more.
        auto* label = static_cast<QWidget*>(watched);
        bool asked = false;
        if (event->type() == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            asked = mouse->button() == Qt::LeftButton && label->rect().contains(mouse->pos());
        } else if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            asked = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space;
        }
        if (!asked)
            return false;
        // The screen may go with the label: leave its event first.
        QTimer::singleShot(0, label->window(), activated);
        return true;
    }

private:
    std::function<void()> activated;
};

QLineEdit* field(const QWidget* window, int row)
{
    return window->findChild<QLineEdit*>(new_network_field_names[row]);
}

} // namespace

void make_activatable(QLabel* label, std::function<void()> activated)
{
    label->setCursor(Qt::PointingHandCursor);
    label->setFocusPolicy(Qt::StrongFocus);
    label->installEventFilter(new LabelActivation(label, std::move(activated)));
}

NewNetwork read_new_network_form(const QWidget* window)
{
    NewNetwork network;
    std::string* const values[] = {&network.name, &network.path, &network.pseudonym, &network.password,
                                   &network.confirmation};
    for (int row = 0; row < 5; ++row)
        if (QLineEdit* edit = field(window, row))
            *values[row] = edit->text().toUtf8().toStdString();
    return network;
}

void refill_new_network_form(QWidget* window, const NewNetwork& network, const QString& message)
{
    const std::string* const values[] = {&network.name, &network.path, &network.pseudonym, &network.password,
                                         &network.confirmation};
    for (int row = 0; row < 5; ++row)
        if (QLineEdit* edit = field(window, row))
            edit->setText(QString::fromStdString(*values[row]));
    if (auto* label = window->findChild<QLabel*>(new_network_message_name))
        label->setText(message);
}
