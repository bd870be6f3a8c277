#pragma once

#include <QPointer>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>

class IChangeNotifications;

// The spool directory's watcher: a thread of the lowest priority that tells the main
// window, by posting WM_QUEUECHANGED to it, that the directory may have changed. On a
// local disk it waits for change notifications, and notifies once each time it starts
// watching the directory (files written while it was not watching signal nothing);
// elsewhere (a network share, removable media) it notifies every four seconds. It never
// reads the directory itself.
//
// Created suspended: start() resumes it. It frees itself when its body ends, which
// happens only on a stop request (the program makes one as it ends). Each notification
// runs on the main thread while the watcher waits for it to be taken.
class TFileWatch : public QThread
{
public:
    TFileWatch(QObject* window, const QString& directory, IChangeNotifications& notifications);

    // Starts the body at the lowest priority.
    void resume();
    // Asks the body to end at its next check and wakes it from any wait.
    void requestStop();
    bool stopRequested() const;

    // Posts WM_QUEUECHANGED to the window. Main thread.
    void Notify();
    // The thread's body; tests run it on their own thread with scripted notifications.
    void Execute();

    QPointer<QObject> Window;
    bool Polling = false;
    QString Directory;
    // Waits so many milliseconds or until a stop is requested; tests replace it.
    std::function<void(int ms)> Sleep;

protected:
    void run() override;
    bool event(QEvent* event) override;

private:
    class NotifyRequest;
    void notifyOnMainThread();
    void interruptibleSleep(int ms);

    IChangeNotifications& m_notifications;
    std::atomic<bool> m_stop = false;
};
