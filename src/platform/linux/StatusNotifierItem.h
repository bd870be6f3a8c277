#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <functional>

class QAction;

// One picture of an item: width, height and its pixels as ARGB32 in network byte order.
struct SniPixmap
{
    int width = 0;
    int height = 0;
    QByteArray pixels;
};
using SniPixmaps = QList<SniPixmap>;

// The tip of an item: an icon name, pictures, a title and a text under it.
struct SniToolTip
{
    QString iconName;
    SniPixmaps pixmaps;
    QString title;
    QString text;
};

// One entry of a menu with its properties and, as variants, the entries under it.
struct DBusMenuLayout
{
    int id = 0;
    QVariantMap properties;
    QVariantList children;
};

// One entry's properties.
struct DBusMenuItem
{
    int id = 0;
    QVariantMap properties;
};
using DBusMenuItems = QList<DBusMenuItem>;

// What the user did with one entry ("clicked", "hovered", ...).
struct DBusMenuEvent
{
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};
using DBusMenuEvents = QList<DBusMenuEvent>;

Q_DECLARE_METATYPE(SniPixmap)
Q_DECLARE_METATYPE(SniToolTip)
Q_DECLARE_METATYPE(DBusMenuLayout)
Q_DECLARE_METATYPE(DBusMenuItem)
Q_DECLARE_METATYPE(DBusMenuEvent)

class QDBusArgument;
QDBusArgument& operator<<(QDBusArgument& argument, const SniPixmap& pixmap);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniPixmap& pixmap);
QDBusArgument& operator<<(QDBusArgument& argument, const SniToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& argument, SniToolTip& tip);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuLayout& layout);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuLayout& layout);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuItem& item);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuItem& item);
QDBusArgument& operator<<(QDBusArgument& argument, const DBusMenuEvent& event);
const QDBusArgument& operator>>(const QDBusArgument& argument, DBusMenuEvent& event);

// The menu a StatusNotifierItem host shows for the item, as a com.canonical.dbusmenu
// object: one level of entries, made from actions (their text, enabled and visible state;
// separators). Choosing an entry triggers its action from the event loop, after the host
// has had its answer. Entries are numbered from 1 in order; the root is 0. Main thread only.
class DBusMenuObject : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(QStringList IconThemePath READ iconThemePath)

public:
    explicit DBusMenuObject(QObject* parent = nullptr);

    void setActions(const QList<QAction*>& actions);
    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }
    QStringList iconThemePath() const { return {}; }

    // The entry's label: the action's text with its mnemonic as an underscore.
    static QString label(const QString& text);

public Q_SLOTS:
    uint GetLayout(int parentId, int recursionDepth, const QStringList& propertyNames, DBusMenuLayout& layout);
    DBusMenuItems GetGroupProperties(const QList<int>& ids, const QStringList& propertyNames);
    QDBusVariant GetProperty(int id, const QString& name);
    void Event(int id, const QString& eventId, const QDBusVariant& data, uint timestamp);
    QList<int> EventGroup(const DBusMenuEvents& events);
    bool AboutToShow(int id);
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors);

Q_SIGNALS:
    void LayoutUpdated(uint revision, int parent);

private:
    QVariantMap properties(int id, const QStringList& names) const;
    bool known(int id) const { return id >= 0 && id <= m_actions.size(); }

    QList<QPointer<QAction>> m_actions;
    uint m_revision = 1;
};

// The icon of the program as a StatusNotifierItem on a D-Bus session bus: the item
// ("Pagello", category ApplicationStatus, always Active) with its picture, its tip and a
// menu, on a connection of its own under a name of its own, registered with the
// StatusNotifierWatcher whenever registerWithWatcher is called (at the start and each time
// a watcher comes up). The host's clicks come back through the callback as
// QSystemTrayIcon's activation reasons: Activate as a Trigger, SecondaryActivate as a
// MiddleClick, ContextMenu as a Context. Main thread only.
class StatusNotifierItem : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ id)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ none)
    Q_PROPERTY(QString IconName READ none)
    Q_PROPERTY(SniPixmaps IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ none)
    Q_PROPERTY(SniPixmaps OverlayIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionIconName READ none)
    Q_PROPERTY(SniPixmaps AttentionIconPixmap READ noPixmaps)
    Q_PROPERTY(QString AttentionMovieName READ none)
    Q_PROPERTY(SniToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)

public:
    static constexpr char kWatcherService[] = "org.kde.StatusNotifierWatcher";
    static constexpr char kWatcherPath[] = "/StatusNotifierWatcher";
    static constexpr char kItemPath[] = "/StatusNotifierItem";
    static constexpr char kMenuPath[] = "/MenuBar";

    // The reason is one of QSystemTrayIcon::ActivationReason.
    using Activated = std::function<void(int reason)>;

    // On the session bus, or on the bus at busAddress.
    StatusNotifierItem(const QString& busAddress, Activated activated);
    ~StatusNotifierItem() override;
    StatusNotifierItem(const StatusNotifierItem&) = delete;
    StatusNotifierItem& operator=(const StatusNotifierItem&) = delete;

    // Whether the item is on the bus under its name.
    bool exported() const { return m_exported; }
    QString serviceName() const { return m_service; }
    // Asks the watcher to show the item; the answer is not waited for.
    void registerWithWatcher();
    void setImage(const QImage& image);
    void setToolTip(const QString& tip);
    void setMenu(const QList<QAction*>& actions) { m_menu.setActions(actions); }

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("Pagello"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString none() const { return {}; }
    SniPixmaps iconPixmap() const { return m_pixmaps; }
    SniPixmaps noPixmaps() const { return {}; }
    SniToolTip toolTip() const;
    bool itemIsMenu() const { return false; }
    QDBusObjectPath menu() const { return QDBusObjectPath(QString::fromLatin1(kMenuPath)); }

    // The picture as the item's pixels.
    static SniPixmap pixmap(const QImage& image);
    // The D-Bus types of items and menus, known to Qt's D-Bus from the first call on.
    static void registerTypes();

public Q_SLOTS:
    void Activate(int x, int y);
    void SecondaryActivate(int x, int y);
    void ContextMenu(int x, int y);
    void Scroll(int delta, const QString& orientation);

Q_SIGNALS:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);

private:
    QString m_connectionName;
    QDBusConnection m_bus;
    QString m_service;
    bool m_exported = false;
    Activated m_activated;
    SniPixmaps m_pixmaps;
    QString m_tip;
    DBusMenuObject m_menu;
};
