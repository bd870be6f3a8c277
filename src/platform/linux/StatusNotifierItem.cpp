#include "StatusNotifierItem.h"

#include <QAction>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QSystemTrayIcon>
#include <QTimer>

#include <atomic>
#include <mutex>

#include <unistd.h>

QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap)
{
    argument.beginStructure();
    argument << pixmap.width << pixmap.height << pixmap.pixels;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap)
{
    argument.beginStructure();
    argument >> pixmap.width >> pixmap.height >> pixmap.pixels;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip)
{
    argument.beginStructure();
    argument << tip.iconName << tip.pixmaps << tip.title << tip.text;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip)
{
    argument.beginStructure();
    argument >> tip.iconName >> tip.pixmaps >> tip.title >> tip.text;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout)
{
    argument.beginStructure();
    argument << layout.id << layout.properties;
    argument.beginArray(QMetaType::fromType<QDBusVariant>());
    for (const QVariant& child : layout.children)
        argument << QDBusVariant(child);
    argument.endArray();
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout)
{
    argument.beginStructure();
    argument >> layout.id >> layout.properties;
    layout.children.clear();
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        layout.children << child.variant();
    }
    argument.endArray();
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item)
{
    argument.beginStructure();
    argument << item.id << item.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item)
{
    argument.beginStructure();
    argument >> item.id >> item.properties;
    argument.endStructure();
    return argument;
}

QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event)
{
    argument.beginStructure();
    argument << event.id << event.eventId << event.data << event.timestamp;
    argument.endStructure();
    return argument;
}

const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event)
{
    argument.beginStructure();
    argument >> event.id >> event.eventId >> event.data >> event.timestamp;
    argument.endStructure();
    return argument;
}

DBusMenuObject::DBusMenuObject(QObject* parent)
    : QObject(parent)
{}

void DBusMenuObject::setActions(const QList<QAction*>& actions)
{
    m_actions.clear();
    for (QAction* action : actions)
        m_actions << QPointer<QAction>(action);
    ++m_revision;
    emit LayoutUpdated(m_revision, 0);
}

QString DBusMenuObject::label(const QString& text)
{
    // "&&" is an ampersand; "&x" makes x the mnemonic, which the menu marks with an
    // underscore, so a real underscore is doubled.
    QString result;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('&') && i + 1 < text.size()) {
            ++i;
            if (text[i] != QLatin1Char('&'))
                result += QLatin1Char('_');
            result += text[i];
        } else if (c == QLatin1Char('_')) {
            result += QStringLiteral("__");
        } else {
            result += c;
        }
    }
    return result;
}

QVariantMap DBusMenuObject::properties(int id, const QStringList& names) const
{
    QVariantMap all;
    if (id == 0) {
        all.insert(QStringLiteral("children-display"), QStringLiteral("submenu"));
    } else if (known(id)) {
        // An action that is gone leaves a hidden entry: the numbers of the others stay.
        const QAction* action = m_actions[id - 1];
        if (!action) {
            all.insert(QStringLiteral("visible"), false);
        } else if (action->isSeparator()) {
            all.insert(QStringLiteral("type"), QStringLiteral("separator"));
            all.insert(QStringLiteral("visible"), action->isVisible());
        } else {
            all.insert(QStringLiteral("label"), label(action->text()));
            all.insert(QStringLiteral("enabled"), action->isEnabled());
            all.insert(QStringLiteral("visible"), action->isVisible());
        }
    }
    if (names.isEmpty())
        return all;
    QVariantMap chosen;
    for (const QString& name : names) {
        if (all.contains(name))
            chosen.insert(name, all.value(name));
    }
    return chosen;
}

uint DBusMenuObject::GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames,
                               DBusMenuLayout& layout)
{
    layout = DBusMenuLayout{parentId, properties(parentId, propertyNames), {}};
    if (parentId == 0 && recursionDepth != 0) {
        for (int id = 1; id <= m_actions.size(); ++id)
            layout.children << QVariant::fromValue(DBusMenuLayout{id, properties(id, propertyNames), {}});
    }
    return m_revision;
}

DBusMenuItems DBusMenuObject::GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames)
{
    QList<int> wanted = ids;
    if (wanted.isEmpty()) {
        for (int id = 0; id <= m_actions.size(); ++id)
            wanted << id;
    }
    DBusMenuItems items;
    for (const int id : wanted) {
        if (known(id))
            items << DBusMenuItem{id, properties(id, propertyNames)};
    }
    return items;
}

QDBusVariant DBusMenuObject::GetProperty(int id, const QString& name)
{
    return QDBusVariant(properties(id, {name}).value(name));
}

void DBusMenuObject::Event(int id, const QString& eventId, const QDBusVariant&, uint)
{
    if (eventId != QLatin1String("clicked") || id <= 0 || !known(id))
        return;
    // From the event loop, once the host has its answer: the action may end the program or
    // open a box that waits for the user.
    QPointer<QAction> action = m_actions[id - 1];
    QTimer::singleShot(0, this, [action] {
        if (action && action->isEnabled())
            action->trigger();
    });
}

QList<int> DBusMenuObject::EventGroup(const DBusMenuEvents& events)
{
    QList<int> unknown;
    for (const DBusMenuEvent& event : events) {
        if (known(event.id))
            Event(event.id, event.eventId, event.data, event.timestamp);
        else
            unknown << event.id;
    }
    return unknown;
}

bool DBusMenuObject::AboutToShow(int)
{
    // The layout is always up to date.
    return false;
}

QList<int> DBusMenuObject::AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors)
{
    idErrors.clear();
    for (const int id : ids) {
        if (!known(id))
            idErrors << id;
    }
    return {};
}

void StatusNotifierItem::registerTypes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        qDBusRegisterMetaType<SniPixmap>();
        qDBusRegisterMetaType<SniPixmaps>();
        qDBusRegisterMetaType<SniToolTip>();
        qDBusRegisterMetaType<DBusMenuLayout>();
        qDBusRegisterMetaType<DBusMenuItem>();
        qDBusRegisterMetaType<DBusMenuItems>();
        qDBusRegisterMetaType<DBusMenuEvent>();
        qDBusRegisterMetaType<DBusMenuEvents>();
    });
}

namespace {

std::atomic<int> itemCount{0};

QDBusConnection openBus(const QString& busAddress, const QString& name)
{
    return busAddress.isEmpty() ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                                : QDBusConnection::connectToBus(busAddress, name);
}

} // namespace

StatusNotifierItem::StatusNotifierItem(const QString& busAddress, Activated activated)
    : m_connectionName(QStringLiteral("pagello-status-notifier-item-%1").arg(++itemCount))
    , m_bus(openBus(busAddress, m_connectionName))
    , m_activated(std::move(activated))
{
    registerTypes();
    // Each item has a connection and a name of its own: the watcher forgets the item as
    // soon as its name goes, and a second icon would need the same object path.
    m_service = QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(::getpid()).arg(itemCount.load());
    m_exported = m_bus.isConnected() &&
                 m_bus.registerObject(QString::fromLatin1(kItemPath), this, QDBusConnection::ExportAllContents) &&
                 m_bus.registerObject(QString::fromLatin1(kMenuPath), &m_menu, QDBusConnection::ExportAllContents) &&
                 m_bus.registerService(m_service);
}

StatusNotifierItem::~StatusNotifierItem()
{
    // The name goes with the connection, and with it the item from the watcher.
    m_bus.unregisterObject(QString::fromLatin1(kItemPath));
    m_bus.unregisterObject(QString::fromLatin1(kMenuPath));
    m_bus.unregisterService(m_service);
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void StatusNotifierItem::registerWithWatcher()
{
    if (!m_exported)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromLatin1(kWatcherService), QString::fromLatin1(kWatcherPath), QString::fromLatin1(kWatcherService),
        QStringLiteral("RegisterStatusNotifierItem"));
    call << m_service;
    m_bus.asyncCall(call);
}

SniPixmap StatusNotifierItem::pixmap(const QImage& image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    SniPixmap result{argb.width(), argb.height(), {}};
    result.pixels.reserve(qsizetype(argb.width()) * argb.height() * 4);
    for (int y = 0; y < argb.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            const QRgb pixel = line[x];
            result.pixels += char(qAlpha(pixel));
            result.pixels += char(qRed(pixel));
            result.pixels += char(qGreen(pixel));
            result.pixels += char(qBlue(pixel));
        }
    }
    return result;
}

void StatusNotifierItem::setImage(const QImage& image)
{
    m_pixmaps.clear();
    if (!image.isNull())
        m_pixmaps << pixmap(image);
    emit NewIcon();
}

void StatusNotifierItem::setToolTip(const QString& tip)
{
    if (tip == m_tip)
        return;
    m_tip = tip;
    emit NewToolTip();
}

SniToolTip StatusNotifierItem::toolTip() const
{
    return SniToolTip{QString(), {}, m_tip, QString()};
}

void StatusNotifierItem::Activate(int, int)
{
    if (m_activated)
        m_activated(QSystemTrayIcon::Trigger);
}

void StatusNotifierItem::SecondaryActivate(int, int)
{
    if (m_activated)
        m_activated(QSystemTrayIcon::MiddleClick);
}

void StatusNotifierItem::ContextMenu(int, int)
{
    if (m_activated)
        m_activated(QSystemTrayIcon::Context);
}

void StatusNotifierItem::Scroll(int, const QString&) {}
