#include "LinuxPlatform.h"

#include <QDir>
#include <QFileInfo>

#include "../Errors.h"
#include "../OemCodePage.h"

#include <QApplication>
#include <QCursor>
#include <QDialog>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImageReader>
#include <QMessageBox>
#include <QScreen>
#include <QStatusTipEvent>
#include <QWindow>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

// Everything the advances depend on; colour, underline and strike-out do not change them,
// and they are measured at the em's width.
QString measureKey(const FontSpec& desc)
{
    return desc.name + QLatin1Char('\n') + QString::number(desc.horizontalPixelSize()) +
           QLatin1Char(desc.bold() ? 'b' : '-') + QLatin1Char(desc.italic() ? 'i' : '-') +
           QString::number(desc.charset);
}

// The face as wide as the font's em: what its advances are measured on.
QFont measuredFont(const FontSpec& desc)
{
    FontSpec across = desc;
    across.pixelSize = desc.horizontalPixelSize();
    return unhintedFont(across);
}

bool haveGuiApplication()
{
    return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
}

} // namespace

int QtScreen::pixelsPerInch() const
{
    if (!haveGuiApplication())
        return 96;
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? qRound(screen->logicalDotsPerInch()) : 96;
}

void QtScreen::beginBusy()
{
    if (haveGuiApplication())
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
}

void QtScreen::endBusy()
{
    if (haveGuiApplication() && QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

QtFonts::QtFonts(const OemCodePage& codePage)
    : m_codePage(codePage)
{}

const GlyphAdvances& QtFonts::advances(const FontSpec& font)
{
    const QString key = measureKey(font);
    auto it = m_cache.find(key);
    if (it != m_cache.end())
        return it->second;

    // Without a face the layout would measure boxes: the document cannot be laid out as it
    // prints.
    const QFont measured = measuredFont(font);
    requireFace(measured, font.name);
    const QFontMetricsF metrics(measured);
    GlyphAdvances advances{};
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        advances[b] = qRound(metrics.horizontalAdvance(decode(font, std::string_view(&byte, 1)).at(0)));
    }
    return m_cache.emplace(key, advances).first->second;
}

std::shared_ptr<const QImage> QtBitmaps::load(const QString& path)
{
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull())
        throw EFileError(QStringLiteral("Cannot load bitmap '%1'").arg(path).toStdString());
    return std::make_shared<const QImage>(std::move(image));
}

class QtApplication::EventFilter : public QObject
{
public:
    explicit EventFilter(QtApplication& owner)
        : m_owner(owner)
    {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // A status tip travels from the widget under the mouse up to its window; each step
        // carries the same text, so only a change is passed on.
        if (event->type() == QEvent::StatusTip) {
            m_owner.setHint(static_cast<QStatusTipEvent*>(event)->tip());
        } else if (watched == m_owner.m_mainWindow) {
            QWidget* window = m_owner.m_mainWindow;
            if (event->type() != QEvent::WindowStateChange) {
                if (event->type() == QEvent::Show && !event->spontaneous())
                    takeStateAlong(*window);
            } else if (event->spontaneous() && m_owner.m_unmapped && window->isHidden()) {
                // Withdrawn, the window has no state on the X server, which Qt reports as
                // restored; it is still minimised.
                window->overrideWindowState(window->windowState() | Qt::WindowMinimized);
            } else {
                m_owner.windowStateChanged(window->isMinimized());
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // A window minimised or restored before it was ever shown, or while it was withdrawn,
    // changed its state alone; its X window takes it along now, before it is mapped.
    static void takeStateAlong(QWidget& window)
    {
        QWindow* native = window.windowHandle();
        const Qt::WindowStates state = window.windowState() & ~Qt::WindowActive;
        if (native && native->windowStates() != state)
            native->setWindowStates(state);
    }

    QtApplication& m_owner;
};

// Never mapped: showing and hiding it show and hide the main window's task-bar button.
class QtApplication::Window : public QWidget
{
public:
    explicit Window(QtApplication& owner)
        : m_owner(owner)
    {}
    void setVisible(bool visible) override { m_owner.setButtonHidden(!visible); }

private:
    QtApplication& m_owner;
};

QtApplication::QtApplication(IWindowManager* windows)
    : m_filter(std::make_unique<EventFilter>(*this))
    , m_windows(windows)
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installEventFilter(m_filter.get());
    if (!m_windows || !qobject_cast<QApplication*>(QCoreApplication::instance()))
        return;
    m_window = std::make_unique<Window>(*this);
    m_handle = m_windows->handleOf(*m_window);
    m_windows->setWindowClass(m_handle, QString::fromLatin1(kApplicationWindowClass));
    m_windows->setWindowProc(m_handle,
                             [this](WindowHandle window, unsigned message, std::uintptr_t wParam,
                                    std::intptr_t lParam) { return windowProc(window, message, wParam, lParam); });
}

QtApplication::~QtApplication() = default;

void QtApplication::setTitle(const QString& title)
{
    m_title = title;
    if (m_window)
        m_window->setWindowTitle(title);
}

std::intptr_t QtApplication::windowProc(WindowHandle window, unsigned message, std::uintptr_t wParam,
                                        std::intptr_t lParam)
{
    using namespace WindowMessages;
    // The low four bits of a system command are the system's own. Asked from the desktop
    // (a click on the tray icon), the application shows a main window never shown yet too.
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) {
        restoreMainWindow(true);
        return 0;
    }
    // Closing the application closes its main window.
    if (message == WM_CLOSE) {
        if (m_mainWindow)
            m_mainWindow->close();
        return 0;
    }
    return m_windows->defWindowProc(window, message, wParam, lParam);
}

void QtApplication::setMainWindow(QWidget* window)
{
    m_mainWindow = window;
    m_minimized = window && window->isMinimized();
    m_unmapped = false;
}

void QtApplication::setMainWindowState(Qt::WindowStates state)
{
    if (m_mainWindow->testAttribute(Qt::WA_WState_ExplicitShowHide))
        m_mainWindow->setWindowState(state);
    else
        m_mainWindow->overrideWindowState(state);
}

void QtApplication::minimize()
{
    if (m_mainWindow)
        setMainWindowState(m_mainWindow->windowState() | Qt::WindowMinimized);
}

void QtApplication::restore()
{
    restoreMainWindow(false);
}

void QtApplication::restoreMainWindow(bool showNew)
{
    if (!m_mainWindow)
        return;
    const Qt::WindowStates state = m_mainWindow->windowState() & ~Qt::WindowMinimized;
    if (!m_mainWindow->testAttribute(Qt::WA_WState_ExplicitShowHide)) {
        setMainWindowState(state);
        if (!showNew)
            return;
    }
    // Mapped before it leaves the minimised state: a hidden window's X window would be
    // mapped by the state change alone, behind Qt's back.
    m_mainWindow->show();
    m_mainWindow->setWindowState(state);
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

void QtApplication::setButtonHidden(bool hidden)
{
    m_buttonHidden = hidden;
    // From the event loop: the main window may be in the middle of being shown (its
    // procedure hears of it before it is mapped), and would be mapped all the same.
    QMetaObject::invokeMethod(
        m_window.get(), [this] { placeButton(); }, Qt::QueuedConnection);
}

void QtApplication::placeButton()
{
    QWidget* window = m_mainWindow;
    if (!window)
        return;
    if (m_buttonHidden) {
        // Without a notification area the task bar is the only way back to the program.
        if (window->isMinimized() && window->isVisible() && QtNotifyArea::available()) {
            window->hide();
            m_unmapped = true;
        }
    } else if (m_unmapped) {
        m_unmapped = false;
        if (window->isMinimized() && window->isHidden())
            window->showMinimized();
    }
}

void QtApplication::windowStateChanged(bool minimized)
{
    if (minimized == m_minimized)
        return;
    m_minimized = minimized;
    const Event& event = minimized ? OnMinimize : OnRestore;
    if (event)
        event();
}

void QtApplication::processMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void QtApplication::processSystemMessages()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void QtApplication::messageBox(const QString& text, const QString& caption, MessageIcon icon)
{
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        qCritical("%s: %s", qPrintable(caption), qPrintable(text));
        return;
    }
    const QMessageBox::Icon icons[] = {QMessageBox::Information, QMessageBox::Warning, QMessageBox::Critical};
    QMessageBox box(icons[int(icon)], caption, text, QMessageBox::Ok);
    box.exec();
}

void QtApplication::setHint(const QString& hint)
{
    if (hint == m_hint)
        return;
    m_hint = hint;
    if (m_onHint)
        m_onHint();
}

void QtApplication::showException(const std::exception& error)
{
    QString message = QString::fromUtf8(error.what());
    if (!message.isEmpty() && !message.endsWith(QLatin1Char('.')))
        message += QLatin1Char('.');
    // A failure that repeats while its box is open (a timer meeting the same fault
    // again) does not stack a second box on the first.
    if (m_openErrors.contains(message))
        return;
    const QString caption = m_title.isEmpty() ? QCoreApplication::applicationName() : m_title;
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        qCritical("%s", qPrintable(message));
        return;
    }
    // Whoever looks after the machine finds the box's message in the session's log, also
    // when nobody is at the desktop to read the box (a print server that went away).
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.toLocal8Bit().constData());
    m_openErrors.append(message);
    // The box stands on its own: over a window it would go with it when the window is
    // minimised into the tray, and be out of reach there.
    QMessageBox::critical(nullptr, caption, message);
    m_openErrors.removeOne(message);
}

int QtApplication::execModal(QDialog& dialog)
{
    return dialog.exec();
}

LinuxPlatform::LinuxPlatform()
    : m_fonts(std::make_unique<QtFonts>(OemCodePage::system()))
    , m_printers(std::make_unique<QtPrinters>(*m_fonts))
    , m_printDialog(std::make_unique<QtPrintDialog>(*m_printers))
    , m_registry(RegistryFile::locate())
{}

LinuxPlatform::~LinuxPlatform() = default;

Platform LinuxPlatform::platform()
{
    return Platform{*m_printers, *m_printDialog, m_screen, *m_fonts, m_bitmaps, m_application};
}

SpoolerPlatform LinuxPlatform::spooler()
{
    const QString journal = QFileInfo(m_registry.path()).dir().filePath(QStringLiteral("printed.journal"));
    return SpoolerPlatform{platform(),    m_registry, m_notifications, m_files,
                           m_environment, m_windows,  m_notifyArea,    journal};
}
