// How long a program's window goes without answering: sends _NET_WM_PING (EWMH) to the
// window every few milliseconds, as a window manager does to find a hung program, and
// times each answer. Qt answers the ping from its event loop, so the longest wait is the
// longest time the program's main thread did not serve its windows.
//
//   bench-window-probe [--class CLASS] [--title-prefix TEXT] [--interval MS] [--wait S]
//
// Finds the first top-level window of class CLASS (default TForm1) whose title starts with
// TEXT (default "Pagello"), on the display of $DISPLAY, waiting up to S seconds (default
// 30) for it, then pings until SIGINT or SIGTERM and prints on standard output:
//   pings N answered N longest_ms X at_s T median_ms X p99_ms X stalls_over_250ms N
// (a ping still unanswered at the end counts with its wait so far; a stall is a run of
// pings one after another that each waited longer than 250 ms; at_s is when the longest
// wait began, in seconds since the first ping). Exit code 2 when no
// such window is found or it does not take pings.

#include <xcb/xcb.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name)
{
    xcb_intern_atom_reply_t* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, std::uint16_t(std::strlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return a;
}

std::string property(xcb_connection_t* c, xcb_window_t window, xcb_atom_t name, xcb_atom_t type)
{
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, name, type, 0, 1024), nullptr);
    std::string value;
    if (reply && reply->format == 8)
        value.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                     std::size_t(xcb_get_property_value_length(reply)));
    std::free(reply);
    return value;
}

std::vector<xcb_window_t> children(xcb_connection_t* c, xcb_window_t window)
{
    std::vector<xcb_window_t> list;
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(c, xcb_query_tree(c, window), nullptr);
    if (tree) {
        const xcb_window_t* kids = xcb_query_tree_children(tree);
        list.assign(kids, kids + xcb_query_tree_children_length(tree));
    }
    std::free(tree);
    return list;
}

// Top-level windows and, inside a window manager's frames, the client windows they hold.
xcb_window_t findWindow(xcb_connection_t* c, xcb_window_t root, const std::string& wantedClass,
                        const std::string& titlePrefix)
{
    const xcb_atom_t netName = atom(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = atom(c, "UTF8_STRING");
    const auto matches = [&](xcb_window_t w) {
        const std::string cls = property(c, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING);
        // WM_CLASS: instance NUL class NUL.
        const std::size_t nul = cls.find('\0');
        if (nul == std::string::npos || cls.substr(nul + 1, wantedClass.size() + 1) != wantedClass + '\0')
            return false;
        std::string title = property(c, w, netName, utf8);
        if (title.empty())
            title = property(c, w, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
        return title.compare(0, titlePrefix.size(), titlePrefix) == 0;
    };
    for (xcb_window_t top : children(c, root)) {
        if (matches(top))
            return top;
        for (xcb_window_t inner : children(c, top)) {
            if (matches(inner))
                return inner;
        }
    }
    return XCB_WINDOW_NONE;
}

bool takesPings(xcb_connection_t* c, xcb_window_t window, xcb_atom_t protocols, xcb_atom_t ping)
{
    xcb_get_property_reply_t* reply =
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, protocols, XCB_ATOM_ATOM, 0, 64), nullptr);
    bool found = false;
    if (reply && reply->format == 32) {
        const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
        found = std::find(atoms, atoms + xcb_get_property_value_length(reply) / 4, ping) !=
                atoms + xcb_get_property_value_length(reply) / 4;
    }
    std::free(reply);
    return found;
}

double ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

} // namespace

int main(int argc, char** argv)
{
    std::string wantedClass = "TForm1";
    std::string titlePrefix = "Pagello";
    int intervalMs = 20;
    int waitS = 30;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--class")
            wantedClass = argv[i + 1];
        else if (option == "--title-prefix")
            titlePrefix = argv[i + 1];
        else if (option == "--interval")
            intervalMs = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--wait")
            waitS = std::atoi(argv[i + 1]);
        else {
            std::fprintf(stderr, "bench-window-probe: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "bench-window-probe: cannot connect to the display\n");
        return 2;
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber; ++i)
        xcb_screen_next(&screens);
    const xcb_window_t root = screens.data->root;
    const xcb_atom_t protocols = atom(c, "WM_PROTOCOLS");
    const xcb_atom_t ping = atom(c, "_NET_WM_PING");

    xcb_window_t window = XCB_WINDOW_NONE;
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(waitS);
    while (!window && !g_stop && Clock::now() < giveUp) {
        window = findWindow(c, root, wantedClass, titlePrefix);
        if (!window)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!window || !takesPings(c, window, protocols, ping)) {
        std::fprintf(stderr, "bench-window-probe: %s\n",
                     window ? "the window does not take _NET_WM_PING" : "no such window");
        xcb_disconnect(c);
        return 2;
    }
    std::fprintf(stderr, "bench-window-probe: pinging window 0x%x every %d ms\n", window, intervalMs);

    // Answers go to the root window, to those that listen for its changes (Qt) or its
    // children's (what EWMH asks for).
    const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(c);

    const Clock::time_point start = Clock::now();
    std::map<std::uint32_t, Clock::time_point> outstanding;
    std::vector<std::pair<Clock::time_point, double>> waits; // (sent, wait)
    double longest = 0;
    double longestAt = 0;
    std::uint32_t serial = 1;
    Clock::time_point nextPing = start;
    const auto note = [&](double wait, Clock::time_point sent) {
        waits.emplace_back(sent, wait);
        if (wait > longest) {
            longest = wait;
            longestAt = ms(sent - start) / 1000;
        }
    };
    while (!g_stop) {
        const Clock::time_point now = Clock::now();
        if (now >= nextPing) {
            xcb_client_message_event_t event{};
            event.response_type = XCB_CLIENT_MESSAGE;
            event.format = 32;
            event.window = window;
            event.type = protocols;
            event.data.data32[0] = ping;
            event.data.data32[1] = serial;
            event.data.data32[2] = window;
            xcb_send_event(c, 0, window, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&event));
            xcb_flush(c);
            outstanding.emplace(serial++, now);
            nextPing = now + std::chrono::milliseconds(intervalMs);
        }
        pollfd readable{xcb_get_file_descriptor(c), POLLIN, 0};
        const int timeout = std::max(0, int(ms(nextPing - Clock::now())));
        if (poll(&readable, 1, timeout) < 0 && errno != EINTR)
            break;
        while (xcb_generic_event_t* e = xcb_poll_for_event(c)) {
            if ((e->response_type & 0x7f) == XCB_CLIENT_MESSAGE) {
                const auto* answer = reinterpret_cast<const xcb_client_message_event_t*>(e);
                if (answer->type == protocols && answer->data.data32[0] == ping && answer->data.data32[2] == window) {
                    const auto it = outstanding.find(answer->data.data32[1]);
                    if (it != outstanding.end()) {
                        note(ms(Clock::now() - it->second), it->second);
                        outstanding.erase(it);
                    }
                }
            }
            std::free(e);
        }
        if (xcb_connection_has_error(c))
            break;
    }
    const Clock::time_point end = Clock::now();
    const std::size_t answered = waits.size();
    for (const auto& [id, sent] : outstanding)
        note(ms(end - sent), sent);
    std::sort(waits.begin(), waits.end());
    std::size_t stalls = 0;
    for (std::size_t i = 0; i < waits.size(); ++i)
        stalls += waits[i].second > 250 && (i == 0 || waits[i - 1].second <= 250);
    std::vector<double> sorted;
    for (const auto& [sent, wait] : waits)
        sorted.push_back(wait);
    std::sort(sorted.begin(), sorted.end());
    const auto quantile = [&](double q) { return sorted.empty() ? 0.0 : sorted[std::size_t(q * (sorted.size() - 1))]; };
    std::printf("pings %zu answered %zu longest_ms %.0f at_s %.1f median_ms %.1f p99_ms %.0f stalls_over_250ms %zu\n",
                sorted.size(), answered, longest, longestAt, quantile(0.5), quantile(0.99), stalls);
    xcb_disconnect(c);
    return 0;
}
