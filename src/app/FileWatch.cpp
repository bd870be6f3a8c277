#include "FileWatch.h"

#include "Main.h"
#include "platform/IChangeNotifications.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define PAGELLO_TSAN_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PAGELLO_TSAN_ANNOTATIONS 1
#endif
#endif
#ifdef PAGELLO_TSAN_ANNOTATIONS
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace {

constexpr int kPollMs = 4000;
constexpr int kWaitMs = 1000;

// An event passed from the watcher to the main thread goes through Qt's event queue,
// whose locking the thread sanitizer does not see in an uninstrumented Qt; these tell it
// that everything written before posting happens before the event is handled.
void handOver([[maybe_unused]] QEvent* event)
{
#ifdef PAGELLO_TSAN_ANNOTATIONS
    __tsan_release(event);
#endif
}

void takeOver([[maybe_unused]] QEvent* event)
{
#ifdef PAGELLO_TSAN_ANNOTATIONS
    __tsan_acquire(event);
#endif
}

// How often a waiting watcher looks whether it may go on. Waits poll atomic flags
// rather than sleep on a condition variable: this compiler's thread sanitizer does not
// follow the timed waits of the standard library and would report their data as raced.
constexpr std::chrono::milliseconds kLookMs(5);

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
    m_stop = true;
}

bool TFileWatch::stopRequested() const
{
    return m_stop;
}

void TFileWatch::interruptibleSleep(int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!m_stop && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            end - std::chrono::steady_clock::now(), std::chrono::milliseconds(50)));
}

void TFileWatch::Notify()
{
    if (Window)
        QCoreApplication::postEvent(Window, new QEvent(WM_QUEUECHANGED));
}

// A request to run Notify on the main thread; the watcher waits until it is done.
class TFileWatch::NotifyRequest : public QEvent
{
public:
    static constexpr QEvent::Type kType = QEvent::Type(QEvent::User + 199);
    struct Done
    {
        std::atomic<bool> done = false;
    };
    explicit NotifyRequest(std::shared_ptr<Done> done)
        : QEvent(kType)
        , done(std::move(done))
    {}
    std::shared_ptr<Done> done;
};

void TFileWatch::notifyOnMainThread()
{
    if (QThread::currentThread() == thread()) {
        Notify();
        return;
    }
    // Held until the main thread has taken the notification, so at most one is
    // outstanding; a stop request (the program ending) releases the wait.
    auto done = std::make_shared<NotifyRequest::Done>();
    auto* request = new NotifyRequest(done);
    handOver(request);
    QCoreApplication::postEvent(this, request);
    while (!done->done && !stopRequested())
        std::this_thread::sleep_for(kLookMs);
}

bool TFileWatch::event(QEvent* event)
{
    takeOver(event);
    if (event->type() != NotifyRequest::kType)
        return QThread::event(event);
    Notify();
    static_cast<NotifyRequest*>(event)->done->done = true;
    return true;
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
        // Nothing signals what was written while there was no watch: before the directory
        // existed or could be read, while it was gone, or before this watch was armed.
        notifyOnMainThread();
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
