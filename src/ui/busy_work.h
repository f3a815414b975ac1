#pragma once

#include <QObject>

#include <functional>
#include <string>

class QThread;
class QWidget;

// Runs a blocking task (a launch, a stop, a provisioning) on a worker thread
// while its window keeps painting and drops every input made meanwhile, so
// that no click or key is replayed on the screen that follows.
class BusyWork : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(BusyWork)

public:
    // `work` runs off the GUI thread and must not touch widgets; `done` runs
    // afterwards on the GUI thread with "" or the message of what `work`
    // threw. Returns false, running nothing, while the window is still busy.
    static bool run(QWidget* window, std::function<void()> work,
                    std::function<void(const std::string& failure)> done);
    // True while a task of this window runs.
    static bool busy(const QWidget* window);
    // Waits for the window's task, if any, without running its `done`: for a
    // window's destructor, before it frees what the task uses.
    static void wait_for(QWidget* window);

    ~BusyWork() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit BusyWork(QWidget* window);

    QWidget* window;
    QThread* thread = nullptr;
    std::string failure;
};
