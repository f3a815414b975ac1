#include "screen_parts.h"

#include <QApplication>
#include <QLabel>
#include <QLayout>
#include <QMovie>
#include <QPushButton>
#include <QSignalMapper>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QVBoxLayout>

namespace {

// "&" would mark a keyboard accelerator; "&&" shows one "&" and makes none.
QString literal(const QString& text)
{
    return QString(text).replace('&', QStringLiteral("&&"));
}

// A network button that never asks for more width than it is given: its name
// is cut to fit, the whole name in the tooltip.
class NetworkButton : public QPushButton
{
public:
    NetworkButton(const QString& name, QWidget* parent) : QPushButton(parent), name(name)
    {
        setText(literal(name));
        setProperty("class", "net-btn");
        setSizePolicy(QSizePolicy::Preferred, sizePolicy().verticalPolicy());
    }

    QSize minimumSizeHint() const override { return QSize(0, sizeHint().height()); }

protected:
    void resizeEvent(QResizeEvent* event) override
    {
        QPushButton::resizeEvent(event);
        // Fitted once per width: a text set since then stays.
        if (width() == fitted_width)
            return;
        fitted_width = width();
        QStyleOptionButton option;
        initStyleOption(&option);
        const int room = style()->subElementRect(QStyle::SE_PushButtonContents, &option, this).width();
        const QString fitted = fontMetrics().elidedText(name, Qt::ElideRight, room);
        setText(literal(fitted));
        setToolTip(fitted == name ? QString() : Qt::convertFromPlainText(name, Qt::WhiteSpaceNoWrap));
    }

private:
    const QString name;
    int fitted_width = -1;
};

} // namespace

QString utf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), static_cast<int>(text.size()));
}

QString network_button_text(const std::string& name)
{
    return literal(utf8(name));
}

QString as_text(const std::string& name)
{
    return utf8(name).toHtmlEscaped();
}

NetworkList::NetworkList(QWidget* parent)
    : QScrollArea(parent)
{
    // The screen's own background shows through, as behind plain buttons.
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::NoFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    viewport()->setAutoFillBackground(false);
    // A thin bar in the buttons' blue, whatever background the screen gives
    // every widget.
    setStyleSheet("QScrollBar:vertical { background: transparent; border: none; width: 10px; margin: 0; }"
                  "QScrollBar::handle:vertical { background: #0072c6; border-radius: 3px; min-height: 24px;"
                  " margin: 0 2px; }"
                  "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; border: none; }"
                  "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }");
    auto* buttons = new QWidget();
    column = new QVBoxLayout(buttons);
    column->setContentsMargins(0, 0, 0, 0);
    setWidgetResizable(true);
    setWidget(buttons);
    buttons->setAutoFillBackground(false);
    setVisible(false);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        if (now && widget()->isAncestorOf(now))
            ensureWidgetVisible(now, 0, 0);
    });
}

QPushButton* NetworkList::add_button(const std::string& name)
{
    auto* button = new NetworkButton(utf8(name), widget());
    column->addWidget(button);
    setVisible(true);
    updateGeometry();
    return button;
}

QSize NetworkList::sizeHint() const
{
    return widget()->sizeHint();
}

QSize NetworkList::minimumSizeHint() const
{
    // At least one button, whole.
    const QLayoutItem* first = column->itemAt(0);
    return QSize(0, first ? first->sizeHint().height() : 0);
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
