#include "keeper_tools.h"

#include "new_network_form.h"
#include "setupwindow.h"

#include <QFontDatabase>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QTextCursor>

#include <memory>

QLabel* configuration_label(QWidget* window)
{
    auto* label = new QLabel("<div style='color:blue;'><b> Configuration </b></div>");
    auto opened = std::make_shared<QPointer<SetupWindow>>();
    make_activatable(label, [window, opened] {
        if (!*opened) {
            *opened = new SetupWindow(window);
            (*opened)->setAttribute(Qt::WA_DeleteOnClose);
        }
        (*opened)->show();
        (*opened)->raise();
        (*opened)->activateWindow();
    });
    return label;
}

QWidget* server_lines_view(const QString& lines)
{
    auto* view = new QPlainTextEdit(lines);
    view->setObjectName("lignes_du_serveur");
    view->setReadOnly(true);
    view->setLineWrapMode(QPlainTextEdit::NoWrap);
    view->setMinimumHeight(90);
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(8);
    view->setFont(font);
    // The last line in view, from its start.
    view->moveCursor(QTextCursor::End);
    view->moveCursor(QTextCursor::StartOfLine);
    return view;
}
