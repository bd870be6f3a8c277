#include "FakeWindowManager.h"

#include <QCoreApplication>
#include <QEvent>

#include <algorithm>

// Tells a widget's procedure that the widget is shown or hidden, before the widget itself
// handles it.
class FakeWindowManager::ShowFilter : public QObject
{
public:
    explicit ShowFilter(FakeWindowManager& owner)
        : m_owner(owner)
    {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if ((event->type() == QEvent::Show || event->type() == QEvent::Hide) && !event->spontaneous()) {
            for (const auto& [handle, w] : m_owner.m_windows) {
                if (w.widget == watched && w.proc) {
                    const WindowProc proc = w.proc;
                    proc(handle, WindowMessages::WM_SHOWWINDOW, event->type() == QEvent::Show ? 1 : 0, 0);
                    break;
                }
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    FakeWindowManager& m_owner;
};

FakeWindowManager::FakeWindowManager()
    : m_showFilter(std::make_unique<ShowFilter>(*this))
{}

FakeWindowManager::~FakeWindowManager()
{
    for (const auto& [handle, w] : m_windows) {
        if (w.widget)
            w.widget->removeEventFilter(m_showFilter.get());
    }
}

FakeWindowManager::Window* FakeWindowManager::find(WindowHandle handle)
{
    const auto it = m_windows.find(handle);
    return it == m_windows.end() ? nullptr : &it->second;
}

WindowHandle FakeWindowManager::add(Window window)
{
    const WindowHandle handle = m_next++;
    m_windows.emplace(handle, std::move(window));
    m_order.insert(m_order.begin(), handle);
    return handle;
}

WindowHandle FakeWindowManager::addWindow(const QString& className, const QString& title, std::int64_t processId)
{
    Window w;
    w.className = className;
    w.title = title;
    w.processId = processId;
    return add(std::move(w));
}

WindowHandle FakeWindowManager::findWindow(const std::optional<QString>& className, const std::optional<QString>& title)
{
    ++m_finds;
    for (const WindowHandle handle : m_order) {
        const Window& w = m_windows.at(handle);
        if ((!className || w.className == *className) && (!title || w.title == *title))
            return handle;
    }
    return 0;
}

QString FakeWindowManager::windowTitle(WindowHandle window, qsizetype maxLength)
{
    const Window* w = find(window);
    const QString title = w ? leftCharacters(w->title, maxLength) : QString();
    m_longestTitleRead = std::max(m_longestTitleRead, title.size());
    return title;
}

QString FakeWindowManager::windowClass(WindowHandle window)
{
    const Window* w = find(window);
    return w ? w->className : QString();
}

std::int64_t FakeWindowManager::windowProcessId(WindowHandle window)
{
    const Window* w = find(window);
    return w ? w->processId : 0;
}

std::intptr_t FakeWindowManager::deliver(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                         std::intptr_t lParam)
{
    const Window* w = find(window);
    if (!w)
        return 0;
    if (w->proc)
        return w->proc(window, message, wParam, lParam);
    return defWindowProc(window, message, wParam, lParam);
}

std::intptr_t FakeWindowManager::sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                             std::intptr_t lParam)
{
    m_calls.push_back(Call{QStringLiteral("send"), window, message, wParam, lParam});
    return deliver(window, message, wParam, lParam);
}

bool FakeWindowManager::postMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    m_calls.push_back(Call{QStringLiteral("post"), window, message, wParam, lParam});
    if (!find(window))
        return false;
    // Delivered later, from the event loop, as a posted message is.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [this, window, message, wParam, lParam] { deliver(window, message, wParam, lParam); }, Qt::QueuedConnection);
    return true;
}

bool FakeWindowManager::setForegroundWindow(WindowHandle window)
{
    m_calls.push_back(Call{QStringLiteral("foreground"), window});
    if (!find(window))
        return false;
    m_foreground = window;
    return true;
}

void FakeWindowManager::bringToTop(WindowHandle window)
{
    m_calls.push_back(Call{QStringLiteral("top"), window});
    const auto it = std::find(m_order.begin(), m_order.end(), window);
    if (it != m_order.end())
        std::rotate(m_order.begin(), it, it + 1);
}

void FakeWindowManager::showWindow(WindowHandle window, Show how)
{
    m_calls.push_back(Call{QStringLiteral("show"), window, static_cast<unsigned>(how)});
    Window* w = find(window);
    if (!w)
        return;
    w->visible = how != Show::Hide;
    w->minimized = how == Show::Minimize;
}

bool FakeWindowManager::isWindowEnabled(WindowHandle window)
{
    const Window* w = find(window);
    return w && w->enabled;
}

bool FakeWindowManager::isWindowVisible(WindowHandle window)
{
    const Window* w = find(window);
    return w && w->visible;
}

bool FakeWindowManager::isZoomed(WindowHandle window)
{
    const Window* w = find(window);
    return w && w->zoomed;
}

void FakeWindowManager::setFocus(WindowHandle window)
{
    m_calls.push_back(Call{QStringLiteral("focus"), window});
}

WindowHandle FakeWindowManager::handleOf(QWidget& widget)
{
    for (const auto& [handle, w] : m_windows) {
        if (w.widget == &widget)
            return handle;
    }
    Window w;
    w.title = widget.windowTitle();
    w.processId = QCoreApplication::applicationPid();
    w.widget = &widget;
    widget.installEventFilter(m_showFilter.get());
    return add(std::move(w));
}

void FakeWindowManager::setWindowClass(WindowHandle window, const QString& className)
{
    if (Window* w = find(window))
        w->className = className;
}

WindowHandle FakeWindowManager::createUtilityWindow(WindowProc proc)
{
    Window w;
    w.processId = QCoreApplication::applicationPid();
    w.visible = false;
    w.proc = std::move(proc);
    return add(std::move(w));
}

void FakeWindowManager::destroyUtilityWindow(WindowHandle window)
{
    m_windows.erase(window);
    m_order.erase(std::remove(m_order.begin(), m_order.end(), window), m_order.end());
}

IWindowManager::WindowProc FakeWindowManager::windowProc(WindowHandle window)
{
    const Window* w = find(window);
    if (!w)
        return {};
    if (w->proc)
        return w->proc;
    return [this](WindowHandle target, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        return defWindowProc(target, message, wParam, lParam);
    };
}

IWindowManager::WindowProc FakeWindowManager::setWindowProc(WindowHandle window, WindowProc proc)
{
    WindowProc previous = windowProc(window);
    if (Window* w = find(window))
        w->proc = std::move(proc);
    return previous;
}

std::intptr_t FakeWindowManager::defWindowProc(WindowHandle window, unsigned message, std::uintptr_t, std::intptr_t)
{
    Window* w = find(window);
    if (!w || !w->widget)
        return 0;
    if (message >= WindowMessages::WM_USER)
        QCoreApplication::postEvent(w->widget,
                                    new QEvent(QEvent::Type(QEvent::User + int(message - WindowMessages::WM_USER))));
    else if (message == WindowMessages::WM_CLOSE)
        w->widget->close();
    return 0;
}
