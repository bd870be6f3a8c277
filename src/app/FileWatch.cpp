#include "FileWatch.h"

#include "Main.h"
#include "platform/IChangeNotifications.h"

#include <QCoreApplication>
#include <QEvent>

#include <chrono>
#include <memory>

namespace {

constexpr int kPollMs = 4000;
constexpr int kWaitMs = 1000;

} // namespace

TFileWatch::TFileWatch(QObject* window, const QString& directory, IChangeNotifications& notifications)
    : Window(window)
    , Directory(directory)
    , m_notifications(notifications)
{
    Polling = !notifications.isLocalDisk(directory);
    Sleep = [this](int ms) { interruptibleSleep(ms); };
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

void TFileWatch::resume()
{
    start(QThread::LowestPriority);
}

void TFileWatch::requestStop()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
}

bool TFileWatch::stopRequested() const
{
    std::lock_guard lock(m_mutex);
    return m_stop;
}

void TFileWatch::interruptibleSleep(int ms)
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stop; });
}

void TFileWatch::Notify()
{
    if (Window)
        QCoreApplication::postEvent(Window, new QEvent(WM_QUEUECHANGED));
}

void TFileWatch::notifyOnMainThread()
{
    QObject* mainThreadObject = QCoreApplication::instance();
    if (!mainThreadObject || QThread::currentThread() == mainThreadObject->thread()) {
        Notify();
        return;
    }
    // Held until the main thread has taken the notification, so at most one is
    // outstanding; a stop request (the program ending) releases the wait.
    struct Done
    {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
    };
    auto done = std::make_shared<Done>();
    // The call may run after this thread has ended and freed itself: it takes only what
    // it needs, by value.
    QMetaObject::invokeMethod(
        mainThreadObject,
        [window = Window, done] {
            if (window)
                QCoreApplication::postEvent(window, new QEvent(WM_QUEUECHANGED));
            {
                std::lock_guard lock(done->mutex);
                done->done = true;
            }
            done->cv.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(done->mutex);
    while (!done->done && !stopRequested())
        done->cv.wait_for(lock, std::chrono::milliseconds(100));
}

void TFileWatch::run()
{
    Execute();
}

void TFileWatch::Execute()
{
    if (Polling) {
        while (!stopRequested()) {
            notifyOnMainThread();
            Sleep(kPollMs);
        }
        return;
    }

    using Wait = IChangeNotifications::WaitResult;
    while (!stopRequested()) {
        const IChangeNotifications::Handle handle = m_notifications.first(Directory);
        if (handle == IChangeNotifications::kInvalid) {
            // The directory cannot be watched (yet): try again later.
            Sleep(kPollMs);
            continue;
        }
        bool armed = true;
        while (armed && !stopRequested()) {
            const Wait result = m_notifications.wait(handle, kWaitMs);
            armed = m_notifications.next(handle);
            // One last notification for a signal, even when the directory is gone now.
            if (result == Wait::Signalled)
                notifyOnMainThread();
        }
        m_notifications.close(handle);
    }
}
