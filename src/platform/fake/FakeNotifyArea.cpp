#include "FakeNotifyArea.h"

#include "../IWindowManager.h"

#include <QRegularExpression>

bool FakeNotifyArea::shellNotifyIcon(unsigned message, const NotifyIconData& data)
{
    using namespace NotifyIcon;
    m_requests.push_back(Request{message, data});
    const std::pair key(data.hWnd, data.uID);
    const auto it = m_icons.find(key);
    switch (message) {
    case NIM_ADD:
        if (refuseAdd || it != m_icons.end() || !data.hWnd)
            return false;
        m_icons.emplace(key, Icon{data, IconHandles::image(data.hIcon)});
        return true;
    case NIM_MODIFY:
        if (it == m_icons.end())
            return false;
        it->second.data = data;
        it->second.image = IconHandles::image(data.hIcon);
        return true;
    case NIM_DELETE:
        if (it == m_icons.end())
            return false;
        m_icons.erase(it);
        return true;
    }
    return false;
}

std::vector<unsigned> FakeNotifyArea::messages() const
{
    std::vector<unsigned> messages;
    for (const Request& r : m_requests)
        messages.push_back(r.message);
    return messages;
}

const FakeNotifyArea::Icon* FakeNotifyArea::icon(WindowHandle window, std::uint32_t id) const
{
    const auto it = m_icons.find({window, id});
    return it == m_icons.end() ? nullptr : &it->second;
}

const FakeNotifyArea::Icon* FakeNotifyArea::only() const
{
    return m_icons.size() == 1 ? &m_icons.begin()->second : nullptr;
}

std::intptr_t FakeNotifyArea::deliver(WindowHandle window, std::uint32_t id, std::intptr_t mouseMessage)
{
    const Icon* target = icon(window, id);
    if (!target)
        return 0;
    const NotifyIconData data = target->data;
    return m_windows.sendMessage(data.hWnd, data.uCallbackMessage, data.uID, mouseMessage);
}

std::intptr_t FakeNotifyArea::mouse(std::intptr_t mouseMessage)
{
    const Icon* target = only();
    return target ? deliver(target->data.hWnd, target->data.uID, mouseMessage) : 0;
}

void FakeNotifyArea::setMenu(WindowHandle window, std::uint32_t id, const QList<QAction*>& entries)
{
    QList<QPointer<QAction>> menu;
    for (QAction* action : entries)
        menu << QPointer<QAction>(action);
    if (menu.isEmpty())
        m_menus.erase({window, id});
    else
        m_menus[{window, id}] = menu;
}

QList<QAction*> FakeNotifyArea::menu(WindowHandle window, std::uint32_t id) const
{
    QList<QAction*> actions;
    const auto it = m_menus.find({window, id});
    if (it == m_menus.end())
        return actions;
    for (const QPointer<QAction>& action : it->second) {
        if (action)
            actions << action.data();
    }
    return actions;
}

QStringList FakeNotifyArea::menuTexts(WindowHandle window, std::uint32_t id) const
{
    QStringList texts;
    for (const QAction* action : menu(window, id))
        texts << QString(action->text()).remove(QRegularExpression(QStringLiteral("&(?!&)")));
    return texts;
}

bool FakeNotifyArea::chooseMenuEntry(WindowHandle window, const QString& text, std::uint32_t id)
{
    const QList<QAction*> actions = menu(window, id);
    const QStringList texts = menuTexts(window, id);
    const qsizetype at = texts.indexOf(text);
    if (at < 0 || !actions[at]->isEnabled())
        return false;
    actions[at]->trigger();
    return true;
}
