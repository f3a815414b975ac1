#pragma once

#include <QMainWindow>

class Ui_MainWindow;

// The generated main window: an empty central widget, menu bar and status bar.
class MainWindow : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY(MainWindow)

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

private:
    Ui_MainWindow* ui = nullptr;
};
