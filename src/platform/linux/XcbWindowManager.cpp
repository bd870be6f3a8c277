#include "XcbWindowManager.h"

#include <QAbstractNativeEventFilter>
#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QGuiApplication>
#include <QStringDecoder>
#include <QWidget>
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>
#include <xcb/xcb_icccm.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <cstring>
#include <exception>

#include <unistd.h>

using namespace WindowMessages;

namespace {

const char kMessageAtom[] = "_PAGELLO_WINDOW_MESSAGE";
const char kInstanceName[] = "pagello";

template <typename Reply> struct FreeReply
{
    void operator()(Reply* reply) const { std::free(reply); }
};
template <typename Reply> using ReplyPtr = std::unique_ptr<Reply, FreeReply<Reply>>;

// The Qt platform's own connection when our widgets are X windows.
xcb_connection_t* qtConnection()
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

void roundTrip(xcb_connection_t* c)
{
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

// The text of a property. Of a value cut short by the length asked for, a character the
// cut split in two is left out, not shown as a replacement character.
QString text(const xcb_get_property_reply_t& reply, QStringDecoder::Encoding encoding)
{
    const auto* bytes = static_cast<const char*>(xcb_get_property_value(&reply));
    const QByteArrayView value(bytes, xcb_get_property_value_length(&reply));
    // A decoder that keeps state holds an unfinished sequence back for a next piece.
    QStringDecoder decoder(encoding,
                           reply.bytes_after > 0 ? QStringDecoder::Flag::Default : QStringDecoder::Flag::Stateless);
    return decoder.decode(value);
}

bool isSystemCommand(unsigned message, std::uintptr_t wParam, std::uintptr_t command)
{
    // The low four bits of a system command are the system's own.
    return message == WM_SYSCOMMAND && (wParam & 0xFFF0) == command;
}

} // namespace

// Our connection to the display, with the atoms it needs.
class XcbWindowManager::Connection
{
public:
    // Null without a display: none is set, Qt draws off screen, or the display does not answer.
    static std::unique_ptr<Connection> open()
    {
        const char* display = std::getenv("DISPLAY");
        if (!display || !*display)
            return nullptr;
        if (qGuiApp) {
            const QString platform = QGuiApplication::platformName();
            if (platform != QLatin1String("xcb") && !platform.startsWith(QLatin1String("wayland")))
                return nullptr;
        }
        int screen = 0;
        xcb_connection_t* c = xcb_connect(nullptr, &screen);
        if (xcb_connection_has_error(c)) {
            xcb_disconnect(c);
            return nullptr;
        }
        auto x = std::unique_ptr<Connection>(new Connection(c, screen));
        if (!x->m_ready || !x->root)
            return nullptr;
        return x;
    }

    ~Connection()
    {
        // The last requests reach the server only with a round trip before the end.
        roundTrip(c);
        if (m_ewmhInitialised)
            xcb_ewmh_connection_wipe(&ewmh);
        xcb_disconnect(c);
    }

    // Sends what is queued; errors of requests without replies are of no use here.
    void flush()
    {
        xcb_flush(c);
        while (xcb_generic_event_t* event = xcb_poll_for_event(c))
            std::free(event);
    }

    void sync()
    {
        roundTrip(c);
        flush();
    }

    std::vector<xcb_window_t> children(xcb_window_t window)
    {
        ReplyPtr<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr));
        if (!tree)
            return {};
        const xcb_window_t* first = xcb_query_tree_children(tree.get());
        return {first, first + xcb_query_tree_children_length(tree.get())};
    }

    // Whether each window is a client: one with WM_CLASS or WM_STATE.
    std::vector<bool> clients(const std::vector<xcb_window_t>& windows)
    {
        std::vector<std::array<xcb_get_property_cookie_t, 2>> cookies;
        cookies.reserve(windows.size());
        for (const xcb_window_t window : windows)
            cookies.push_back({xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_GET_PROPERTY_TYPE_ANY, 0, 0),
                               xcb_get_property(c, 0, window, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 0)});
        std::vector<bool> result;
        result.reserve(windows.size());
        for (const auto& pair : cookies) {
            bool client = false;
            for (const auto& cookie : pair) {
                ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(c, cookie, nullptr));
                client = client || (reply && reply->type != XCB_NONE);
            }
            result.push_back(client);
        }
        return result;
    }

    std::vector<xcb_window_t> topLevelWindows()
    {
        std::vector<xcb_window_t> top = children(root);
        std::reverse(top.begin(), top.end());
        const std::vector<bool> isClient = clients(top);

        // A frame stands for the first client among its children, topmost first.
        std::vector<xcb_query_tree_cookie_t> trees;
        for (std::size_t i = 0; i < top.size(); ++i) {
            if (!isClient[i])
                trees.push_back(xcb_query_tree(c, top[i]));
        }
        std::vector<std::vector<xcb_window_t>> inside;
        std::vector<xcb_window_t> candidates;
        for (const auto& cookie : trees) {
            ReplyPtr<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, cookie, nullptr));
            std::vector<xcb_window_t> held;
            if (tree) {
                const xcb_window_t* first = xcb_query_tree_children(tree.get());
                held.assign(first, first + xcb_query_tree_children_length(tree.get()));
                std::reverse(held.begin(), held.end());
            }
            candidates.insert(candidates.end(), held.begin(), held.end());
            inside.push_back(std::move(held));
        }
        const std::vector<bool> candidateIsClient = clients(candidates);

        std::vector<xcb_window_t> result;
        std::size_t frame = 0;
        std::size_t candidate = 0;
        for (std::size_t i = 0; i < top.size(); ++i) {
            if (isClient[i]) {
                result.push_back(top[i]);
                continue;
            }
            const std::vector<xcb_window_t>& held = inside[frame++];
            const auto client = std::find(candidateIsClient.begin() + candidate,
                                          candidateIsClient.begin() + candidate + held.size(), true);
            if (client != candidateIsClient.begin() + candidate + held.size())
                result.push_back(held[client - (candidateIsClient.begin() + candidate)]);
            candidate += held.size();
        }
        return result;
    }

    // The titles: _NET_WM_NAME, else WM_NAME. With a maximum length, no more than that many
    // characters of each are asked for: a request counts in units of four bytes, and a UTF-8
    // character takes at most four.
    std::vector<QString> titles(const std::vector<xcb_window_t>& windows, qsizetype maxLength = -1)
    {
        const std::uint32_t units =
            maxLength < 0 || maxLength >= qsizetype(UINT32_MAX) ? UINT32_MAX : std::uint32_t(maxLength);
        std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
        cookies.reserve(windows.size());
        for (const xcb_window_t window : windows)
            cookies.emplace_back(xcb_get_property(c, 0, window, ewmh._NET_WM_NAME, ewmh.UTF8_STRING, 0, units),
                                 xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, units));
        std::vector<QString> result;
        result.reserve(windows.size());
        for (const auto& [netName, wmName] : cookies) {
            QString title;
            ReplyPtr<xcb_get_property_reply_t> net(xcb_get_property_reply(c, netName, nullptr));
            if (net && net->type == ewmh.UTF8_STRING && net->format == 8) {
                title = text(*net, QStringDecoder::Utf8);
                xcb_discard_reply(c, wmName.sequence);
            } else if (ReplyPtr<xcb_get_property_reply_t> wm(xcb_get_property_reply(c, wmName, nullptr));
                       wm && wm->type != XCB_NONE) {
                title = text(*wm, wm->type == ewmh.UTF8_STRING  ? QStringDecoder::Utf8
                                  : wm->type == XCB_ATOM_STRING ? QStringDecoder::Latin1
                                                                : QStringDecoder::System);
            }
            // Some programs count the terminating zero in.
            while (title.endsWith(QChar(0)))
                title.chop(1);
            result.push_back(leftCharacters(title, maxLength));
        }
        return result;
    }

    std::vector<QString> classes(const std::vector<xcb_window_t>& windows)
    {
        std::vector<xcb_get_property_cookie_t> cookies;
        cookies.reserve(windows.size());
        for (const xcb_window_t window : windows)
            cookies.push_back(xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 1024));
        std::vector<QString> result;
        result.reserve(windows.size());
        for (const auto& cookie : cookies) {
            // "instance\0class\0", read within the property's own length: another program
            // may leave out the last zero, and the reply holds no more than the value.
            std::unique_ptr<xcb_get_property_reply_t, decltype(&std::free)> reply(
                xcb_get_property_reply(c, cookie, nullptr), &std::free);
            QString className;
            if (reply && reply->format == 8) {
                const auto* value = static_cast<const char*>(xcb_get_property_value(reply.get()));
                const std::string_view bytes(value, std::size_t(xcb_get_property_value_length(reply.get())));
                const std::size_t instanceEnd = bytes.find('\0');
                if (instanceEnd != std::string_view::npos) {
                    std::string_view rest = bytes.substr(instanceEnd + 1);
                    rest = rest.substr(0, rest.find('\0'));
                    className = QString::fromLocal8Bit(rest.data(), qsizetype(rest.size()));
                }
            }
            result.push_back(className);
        }
        return result;
    }

    std::int64_t processId(xcb_window_t window)
    {
        std::uint32_t pid = 0;
        if (!xcb_ewmh_get_wm_pid_reply(&ewmh, xcb_ewmh_get_wm_pid(&ewmh, window), &pid, nullptr))
            return 0;
        return pid;
    }

    void setClass(xcb_window_t window, const QString& className)
    {
        const QByteArray value = QByteArray(kInstanceName) + '\0' + className.toLocal8Bit() + '\0';
        xcb_icccm_set_wm_class(c, window, static_cast<std::uint32_t>(value.size()), value.constData());
        flush();
    }

    // Qt names a window without a title after the program, which is also the title of the
    // application's own window: such a window goes without a name, as its widget does.
    // Done when this returns, so that a title Qt gives it later is not deleted.
    void clearTitle(xcb_window_t window)
    {
        xcb_delete_property(c, window, ewmh._NET_WM_NAME);
        xcb_delete_property(c, window, XCB_ATOM_WM_NAME);
        sync();
    }

    // Marks a window as one that understands our client messages.
    void mark(xcb_window_t window)
    {
        const std::uint32_t pid = static_cast<std::uint32_t>(getpid());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, message, XCB_ATOM_CARDINAL, 32, 1, &pid);
        flush();
    }

    enum class Kind
    {
        None,
        Foreign,
        Ours // of this program, in another process
    };
    Kind kind(xcb_window_t window)
    {
        ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, message, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
        if (!reply)
            return Kind::None;
        return reply->type != XCB_NONE ? Kind::Ours : Kind::Foreign;
    }

    void post(xcb_window_t window, unsigned id, std::uintptr_t wParam, std::intptr_t lParam)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = message;
        const auto w = static_cast<std::uint64_t>(wParam);
        const auto l = static_cast<std::uint64_t>(static_cast<std::uintptr_t>(lParam));
        event.data.data32[0] = id;
        event.data.data32[1] = static_cast<std::uint32_t>(w);
        event.data.data32[2] = static_cast<std::uint32_t>(w >> 32);
        event.data.data32[3] = static_cast<std::uint32_t>(l);
        event.data.data32[4] = static_cast<std::uint32_t>(l >> 32);
        sendEvent(window, XCB_EVENT_MASK_NO_EVENT, event);
        flush();
    }

    static void unpack(const xcb_client_message_event_t& event, unsigned& id, std::uintptr_t& wParam,
                       std::intptr_t& lParam)
    {
        id = event.data.data32[0];
        wParam = static_cast<std::uintptr_t>(event.data.data32[1] | std::uint64_t(event.data.data32[2]) << 32);
        lParam = static_cast<std::intptr_t>(event.data.data32[3] | std::uint64_t(event.data.data32[4]) << 32);
    }

    bool exists(xcb_window_t window)
    {
        return ReplyPtr<xcb_get_window_attributes_reply_t>(
                   xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr)) != nullptr;
    }

    bool viewable(xcb_window_t window)
    {
        ReplyPtr<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr));
        return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    // The ICCCM state of a client, -1 when it has none.
    int state(xcb_window_t window)
    {
        ReplyPtr<xcb_get_property_reply_t> reply(xcb_get_property_reply(
            c, xcb_get_property(c, 0, window, wmState, XCB_GET_PROPERTY_TYPE_ANY, 0, 1), nullptr));
        if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4)
            return -1;
        return static_cast<int>(*static_cast<const std::uint32_t*>(xcb_get_property_value(reply.get())));
    }

    bool windowManagerRunning()
    {
        xcb_window_t check = XCB_NONE;
        return xcb_ewmh_get_supporting_wm_check_reply(&ewmh, xcb_ewmh_get_supporting_wm_check(&ewmh, root), &check,
                                                      nullptr) &&
               check != XCB_NONE;
    }

    bool maximized(xcb_window_t window)
    {
        xcb_ewmh_get_atoms_reply_t states;
        if (!xcb_ewmh_get_wm_state_reply(&ewmh, xcb_ewmh_get_wm_state(&ewmh, window), &states, nullptr))
            return false;
        const xcb_atom_t* first = states.atoms;
        const xcb_atom_t* last = states.atoms + states.atoms_len;
        const bool result = std::find(first, last, ewmh._NET_WM_STATE_MAXIMIZED_VERT) != last &&
                            std::find(first, last, ewmh._NET_WM_STATE_MAXIMIZED_HORZ) != last;
        xcb_ewmh_get_atoms_reply_wipe(&states);
        return result;
    }

    void activate(xcb_window_t window)
    {
        if (windowManagerRunning()) {
            xcb_ewmh_request_change_active_window(&ewmh, screen, window, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER,
                                                  XCB_CURRENT_TIME, XCB_NONE);
        } else {
            raise(window);
            xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        }
        flush();
    }

    xcb_window_t activeWindow()
    {
        xcb_window_t window = XCB_NONE;
        if (!xcb_ewmh_get_active_window_reply(&ewmh, xcb_ewmh_get_active_window(&ewmh, screen), &window, nullptr))
            return XCB_NONE;
        return window;
    }

    void raise(xcb_window_t window)
    {
        // Inside a frame only the window manager can restack the window.
        if (windowManagerRunning()) {
            xcb_ewmh_request_restack_window(&ewmh, screen, window, XCB_NONE, XCB_STACK_MODE_ABOVE);
        } else {
            const std::uint32_t above = XCB_STACK_MODE_ABOVE;
            xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
        }
        flush();
    }

    void map(xcb_window_t window)
    {
        xcb_map_window(c, window);
        flush();
    }

    // Unmaps the window and withdraws it from the window manager (ICCCM 4.1.4).
    void withdraw(xcb_window_t window)
    {
        xcb_unmap_window(c, window);
        xcb_unmap_notify_event_t event{};
        event.response_type = XCB_UNMAP_NOTIFY;
        event.event = root;
        event.window = window;
        sendEvent(root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY, event);
        flush();
    }

    void iconify(xcb_window_t window)
    {
        xcb_client_message_event_t event{};
        event.response_type = XCB_CLIENT_MESSAGE;
        event.format = 32;
        event.window = window;
        event.type = wmChangeState;
        event.data.data32[0] = XCB_ICCCM_WM_STATE_ICONIC;
        sendEvent(root, XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY, event);
        flush();
    }

    void close(xcb_window_t window)
    {
        xcb_ewmh_request_close_window(&ewmh, screen, window, XCB_CURRENT_TIME, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
        flush();
    }

    void focus(xcb_window_t window)
    {
        xcb_set_input_focus(c, XCB_INPUT_FOCUS_PARENT, window, XCB_CURRENT_TIME);
        flush();
    }

    ReplyPtr<xcb_query_pointer_reply_t> pointer()
    {
        return ReplyPtr<xcb_query_pointer_reply_t>(xcb_query_pointer_reply(c, xcb_query_pointer(c, root), nullptr));
    }

    xcb_connection_t* c;
    xcb_ewmh_connection_t ewmh{};
    int screen;
    xcb_window_t root = XCB_NONE;
    xcb_atom_t wmState = XCB_NONE;
    xcb_atom_t wmChangeState = XCB_NONE;
    xcb_atom_t message = XCB_NONE;

private:
    Connection(xcb_connection_t* connection, int screenNumber)
        : c(connection)
        , screen(screenNumber)
    {
        xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
        for (int i = 0; it.rem && i < screen; ++i)
            xcb_screen_next(&it);
        if (it.rem)
            root = it.data->root;
        const char* names[] = {"WM_STATE", "WM_CHANGE_STATE", kMessageAtom};
        xcb_intern_atom_cookie_t cookies[3];
        for (int i = 0; i < 3; ++i)
            cookies[i] = xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(names[i])), names[i]);
        xcb_atom_t* atoms[] = {&wmState, &wmChangeState, &message};
        for (int i = 0; i < 3; ++i) {
            ReplyPtr<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(c, cookies[i], nullptr));
            if (reply)
                *atoms[i] = reply->atom;
        }
        // On failure the EWMH atoms are wiped already.
        m_ewmhInitialised = xcb_ewmh_init_atoms_replies(&ewmh, xcb_ewmh_init_atoms(c, &ewmh), nullptr) != 0;
        m_ready = m_ewmhInitialised && wmState != XCB_NONE && wmChangeState != XCB_NONE && message != XCB_NONE;
    }

    // X events travel as 32 bytes, whatever their structure's size.
    template <typename Event> void sendEvent(xcb_window_t destination, std::uint32_t mask, const Event& event)
    {
        static_assert(sizeof(Event) <= 32);
        char bytes[32] = {};
        std::memcpy(bytes, &event, sizeof(Event));
        xcb_send_event(c, 0, destination, mask, bytes);
    }

    bool m_ewmhInitialised = false;
    bool m_ready = false;
};

// Client messages of our atom to our windows, taken from Qt's connection.
class XcbWindowManager::MessageFilter : public QAbstractNativeEventFilter
{
public:
    MessageFilter(XcbWindowManager& manager, xcb_atom_t atom)
        : m_manager(manager)
        , m_atom(atom)
    {}

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* /*result*/) override
    {
        if (eventType != "xcb_generic_event_t")
            return false;
        const auto* event = static_cast<const xcb_generic_event_t*>(message);
        if ((event->response_type & 0x7F) != XCB_CLIENT_MESSAGE)
            return false;
        const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
        if (client->type != m_atom || client->format != 32 || !m_manager.ownWidget(client->window))
            return false;
        unsigned id = 0;
        std::uintptr_t wParam = 0;
        std::intptr_t lParam = 0;
        Connection::unpack(*client, id, wParam, lParam);
        try {
            m_manager.dispatch(client->window, id, wParam, lParam);
        } catch (const std::exception& error) {
            qCritical("window message %u: %s", id, error.what());
        }
        return true;
    }

private:
    XcbWindowManager& m_manager;
    xcb_atom_t m_atom;
};

// Tells a widget's procedure that the program shows or hides the widget, before the widget
// itself handles it.
class XcbWindowManager::ShowFilter : public QObject
{
public:
    explicit ShowFilter(XcbWindowManager& manager)
        : m_manager(manager)
    {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Spontaneous ones are the window system's, after the fact.
        if ((event->type() != QEvent::Show && event->type() != QEvent::Hide) || event->spontaneous())
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        const auto proc = m_manager.m_procs.constFind(widget);
        if (proc == m_manager.m_procs.constEnd())
            return false;
        const WindowProc call = *proc;
        const std::uintptr_t shown = event->type() == QEvent::Show ? 1 : 0;
        try {
            call(widget->internalWinId(), WM_SHOWWINDOW, shown, 0);
        } catch (const std::exception& error) {
            qCritical("window message %u: %s", WM_SHOWWINDOW, error.what());
        }
        return false;
    }

private:
    XcbWindowManager& m_manager;
};

XcbWindowManager::XcbWindowManager()
    : m_x(Connection::open())
    , m_ownOnX(m_x && qtConnection())
    , m_showFilter(std::make_unique<ShowFilter>(*this))
{
    if (m_ownOnX) {
        m_filter = std::make_unique<MessageFilter>(*this, m_x->message);
        QCoreApplication::instance()->installNativeEventFilter(m_filter.get());
    }
}

XcbWindowManager::~XcbWindowManager()
{
    if (m_filter && QCoreApplication::instance())
        QCoreApplication::instance()->removeNativeEventFilter(m_filter.get());
    m_utilityWindows.clear();
    for (QWidget* widget : std::as_const(m_watched))
        widget->removeEventFilter(m_showFilter.get());
}

bool XcbWindowManager::connected() const
{
    return m_x != nullptr;
}

QWidget* XcbWindowManager::ownWidget(WindowHandle window) const
{
    return window ? QWidget::find(static_cast<WId>(window)) : nullptr;
}

bool XcbWindowManager::onX(WindowHandle window) const
{
    return m_x && window && (m_ownOnX || !ownWidget(window));
}

void XcbWindowManager::syncQt() const
{
    if (xcb_connection_t* qt = m_ownOnX ? qtConnection() : nullptr)
        roundTrip(qt);
}

void XcbWindowManager::watch(QWidget& widget)
{
    if (m_watched.contains(&widget))
        return;
    m_watched.insert(&widget);
    widget.installEventFilter(m_showFilter.get());
    QObject::connect(&widget, &QObject::destroyed, &m_context, [this, key = &widget] {
        m_watched.remove(key);
        m_procs.remove(key);
        m_classes.remove(key);
    });
}

void XcbWindowManager::label(QWidget& widget)
{
    if (!m_ownOnX || !widget.internalWinId())
        return;
    syncQt();
    const auto window = static_cast<xcb_window_t>(widget.internalWinId());
    const auto className = m_classes.constFind(&widget);
    if (className != m_classes.constEnd())
        m_x->setClass(window, *className);
    if (widget.windowTitle().isEmpty())
        m_x->clearTitle(window);
    m_x->mark(window);
}

WindowHandle XcbWindowManager::findWindow(const std::optional<QString>& className, const std::optional<QString>& title)
{
    const std::vector<WindowHandle> windows = topLevelWindows();
    if (windows.empty())
        return 0;
    const std::vector<xcb_window_t> ids(windows.begin(), windows.end());
    const std::vector<QString> classes = className ? m_x->classes(ids) : std::vector<QString>(ids.size());
    const std::vector<QString> titles = title ? m_x->titles(ids) : std::vector<QString>(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if ((!className || classes[i] == *className) && (!title || titles[i] == *title))
            return windows[i];
    }
    return 0;
}

std::vector<WindowHandle> XcbWindowManager::topLevelWindows()
{
    if (!m_x)
        return {};
    syncQt();
    const std::vector<xcb_window_t> windows = m_x->topLevelWindows();
    return {windows.begin(), windows.end()};
}

QString XcbWindowManager::windowTitle(WindowHandle window, qsizetype maxLength)
{
    if (onX(window)) {
        syncQt();
        return m_x->titles({static_cast<xcb_window_t>(window)}, maxLength).front();
    }
    const QWidget* widget = ownWidget(window);
    return widget ? leftCharacters(widget->windowTitle(), maxLength) : QString();
}

QString XcbWindowManager::windowClass(WindowHandle window)
{
    if (onX(window)) {
        syncQt();
        return m_x->classes({static_cast<xcb_window_t>(window)}).front();
    }
    QWidget* widget = ownWidget(window);
    return widget ? m_classes.value(widget, QCoreApplication::applicationName()) : QString();
}

std::int64_t XcbWindowManager::windowProcessId(WindowHandle window)
{
    if (onX(window)) {
        syncQt();
        return m_x->processId(static_cast<xcb_window_t>(window));
    }
    return ownWidget(window) ? getpid() : 0;
}

std::intptr_t XcbWindowManager::dispatch(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                         std::intptr_t lParam)
{
    QWidget* widget = ownWidget(window);
    const auto proc = widget ? m_procs.constFind(widget) : m_procs.constEnd();
    if (proc == m_procs.constEnd())
        return defWindowProc(window, message, wParam, lParam);
    // The procedure may replace itself while it runs.
    const WindowProc call = *proc;
    return call(window, message, wParam, lParam);
}

bool XcbWindowManager::deliverOnX(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (!m_x || !window)
        return false;
    const auto id = static_cast<xcb_window_t>(window);
    switch (m_x->kind(id)) {
    case Connection::Kind::None:
        return false;
    case Connection::Kind::Ours:
        m_x->post(id, message, wParam, lParam);
        break;
    case Connection::Kind::Foreign:
        systemAction(window, message, wParam);
        break;
    }
    return true;
}

std::intptr_t XcbWindowManager::sendMessage(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                            std::intptr_t lParam)
{
    if (ownWidget(window))
        return dispatch(window, message, wParam, lParam);
    if (deliverOnX(window, message, wParam, lParam))
        m_x->sync();
    return 0;
}

bool XcbWindowManager::postMessage(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam)
{
    if (ownWidget(window)) {
        QMetaObject::invokeMethod(
            &m_context,
            [this, window, message, wParam, lParam] {
                if (!ownWidget(window))
                    return;
                try {
                    dispatch(window, message, wParam, lParam);
                } catch (const std::exception& error) {
                    qCritical("window message %u: %s", message, error.what());
                }
            },
            Qt::QueuedConnection);
        return true;
    }
    return deliverOnX(window, message, wParam, lParam);
}

void XcbWindowManager::systemAction(WindowHandle window, unsigned message, std::uintptr_t wParam)
{
    if (!m_x)
        return;
    if (isSystemCommand(message, wParam, SC_RESTORE))
        showWindow(window, Show::Restore);
    else if (isSystemCommand(message, wParam, SC_HOTKEY))
        setForegroundWindow(window);
    else if (message == WM_CLOSE)
        m_x->close(static_cast<xcb_window_t>(window));
}

bool XcbWindowManager::setForegroundWindow(WindowHandle window)
{
    bool shown = false;
    if (QWidget* widget = ownWidget(window)) {
        QWidget* top = widget->window();
        top->raise();
        top->activateWindow();
        shown = top->isVisible();
        if (!m_ownOnX)
            return shown;
        syncQt();
    }
    if (!m_x || !window)
        return shown;
    const auto id = static_cast<xcb_window_t>(window);
    if (!m_x->exists(id))
        return false;
    m_x->activate(id);
    // A withdrawn window cannot be activated.
    return shown || m_x->viewable(id) || m_x->state(id) == XCB_ICCCM_WM_STATE_ICONIC;
}

WindowHandle XcbWindowManager::foregroundWindow()
{
    return m_x ? m_x->activeWindow() : 0;
}

void XcbWindowManager::bringToTop(WindowHandle window)
{
    if (QWidget* widget = ownWidget(window))
        widget->window()->raise();
    else if (m_x && window)
        m_x->raise(static_cast<xcb_window_t>(window));
}

void XcbWindowManager::showWindow(WindowHandle window, Show how)
{
    if (QWidget* widget = ownWidget(window)) {
        switch (how) {
        case Show::Hide:
            widget->hide();
            break;
        case Show::Show:
            widget->show();
            break;
        case Show::Minimize:
            if (widget->isHidden() && widget->isMinimized() && m_x) {
                // Minimised before it was ever shown, Qt maps the window whole: the window
                // manager is asked to minimise it as soon as it has it.
                widget->show();
                m_x->iconify(static_cast<xcb_window_t>(window));
            } else {
                widget->showMinimized();
            }
            break;
        case Show::Restore:
            widget->setWindowState(widget->windowState() & ~Qt::WindowMinimized);
            widget->show();
            widget->raise();
            widget->activateWindow();
            break;
        }
        return;
    }
    if (!m_x || !window)
        return;
    const auto id = static_cast<xcb_window_t>(window);
    switch (how) {
    case Show::Hide:
        m_x->withdraw(id);
        break;
    case Show::Show:
        m_x->map(id);
        break;
    case Show::Minimize:
        m_x->iconify(id);
        break;
    case Show::Restore:
        m_x->map(id);
        m_x->activate(id);
        break;
    }
}

bool XcbWindowManager::isWindowEnabled(WindowHandle window)
{
    if (const QWidget* widget = ownWidget(window))
        return widget->isEnabled();
    return m_x && window && m_x->exists(static_cast<xcb_window_t>(window));
}

bool XcbWindowManager::isWindowVisible(WindowHandle window)
{
    if (const QWidget* widget = ownWidget(window))
        return widget->isVisible() && !widget->isMinimized();
    return m_x && window && m_x->viewable(static_cast<xcb_window_t>(window));
}

bool XcbWindowManager::isZoomed(WindowHandle window)
{
    if (const QWidget* widget = ownWidget(window))
        return widget->isMaximized();
    return m_x && window && m_x->maximized(static_cast<xcb_window_t>(window));
}

void XcbWindowManager::setFocus(WindowHandle window)
{
    if (QWidget* widget = ownWidget(window))
        widget->setFocus();
    else if (m_x && window)
        m_x->focus(static_cast<xcb_window_t>(window));
}

QPoint XcbWindowManager::cursorPos()
{
    if (!m_x)
        return QCursor::pos();
    const auto pointer = m_x->pointer();
    return pointer ? QPoint(pointer->root_x, pointer->root_y) : QPoint();
}

bool XcbWindowManager::isKeyDown(Key key)
{
    if (!m_x) {
        const Qt::KeyboardModifiers modifiers = QGuiApplication::queryKeyboardModifiers();
        switch (key) {
        case Key::Shift:
            return modifiers.testFlag(Qt::ShiftModifier);
        case Key::Control:
            return modifiers.testFlag(Qt::ControlModifier);
        case Key::Alt:
            return modifiers.testFlag(Qt::AltModifier);
        }
        return false;
    }
    const auto pointer = m_x->pointer();
    if (!pointer)
        return false;
    switch (key) {
    case Key::Shift:
        return pointer->mask & XCB_MOD_MASK_SHIFT;
    case Key::Control:
        return pointer->mask & XCB_MOD_MASK_CONTROL;
    case Key::Alt:
        return pointer->mask & XCB_MOD_MASK_1;
    }
    return false;
}

WindowHandle XcbWindowManager::handleOf(QWidget& widget)
{
    const WindowHandle window = widget.winId();
    watch(widget);
    label(widget);
    return window;
}

void XcbWindowManager::setWindowClass(WindowHandle window, const QString& className)
{
    if (QWidget* widget = ownWidget(window)) {
        m_classes.insert(widget, className);
        watch(*widget);
        label(*widget);
    } else if (m_x && window) {
        m_x->setClass(static_cast<xcb_window_t>(window), className);
    }
}

WindowHandle XcbWindowManager::createUtilityWindow(WindowProc proc)
{
    auto widget = std::make_unique<QWidget>(nullptr, Qt::Tool);
    widget->setAttribute(Qt::WA_QuitOnClose, false);
    const WindowHandle window = widget->winId();
    if (proc)
        m_procs.insert(widget.get(), std::move(proc));
    watch(*widget);
    label(*widget);
    m_utilityWindows.emplace(window, std::move(widget));
    return window;
}

void XcbWindowManager::destroyUtilityWindow(WindowHandle window)
{
    // Gone for other processes too when this returns.
    if (m_utilityWindows.erase(window))
        syncQt();
}

IWindowManager::WindowProc XcbWindowManager::windowProc(WindowHandle window)
{
    QWidget* widget = ownWidget(window);
    if (!widget)
        return {};
    const auto proc = m_procs.constFind(widget);
    if (proc != m_procs.constEnd())
        return *proc;
    return [this](WindowHandle target, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
        return defWindowProc(target, message, wParam, lParam);
    };
}

IWindowManager::WindowProc XcbWindowManager::setWindowProc(WindowHandle window, WindowProc proc)
{
    QWidget* widget = ownWidget(window);
    if (!widget)
        return {};
    WindowProc previous = windowProc(window);
    if (proc)
        m_procs.insert(widget, std::move(proc));
    else
        m_procs.remove(widget);
    watch(*widget);
    label(*widget);
    return previous;
}

std::intptr_t XcbWindowManager::defWindowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                              std::intptr_t /*lParam*/)
{
    QWidget* widget = ownWidget(window);
    if (!widget) {
        systemAction(window, message, wParam);
        return 0;
    }
    if (message >= WM_USER) {
        const unsigned type = QEvent::User + (message - WM_USER);
        if (type <= QEvent::MaxUser)
            QCoreApplication::postEvent(widget, new QEvent(static_cast<QEvent::Type>(type)));
    } else if (message == WM_CLOSE) {
        widget->close();
    } else if (isSystemCommand(message, wParam, SC_RESTORE)) {
        showWindow(window, Show::Restore);
    } else if (isSystemCommand(message, wParam, SC_HOTKEY)) {
        setForegroundWindow(window);
    }
    return 0;
}
