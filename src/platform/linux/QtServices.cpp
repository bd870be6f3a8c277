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

#include <algorithm>

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

    const QFontMetricsF metrics(measuredFont(font));
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
        if (event->type() == QEvent::StatusTip)
            m_owner.setHint(static_cast<QStatusTipEvent*>(event)->tip());
        else if (event->type() == QEvent::WindowStateChange && watched == m_owner.m_mainWindow)
            m_owner.windowStateChanged(m_owner.m_mainWindow->isMinimized());
        return QObject::eventFilter(watched, event);
    }

private:
    QtApplication& m_owner;
};

QtApplication::QtApplication()
    : m_filter(std::make_unique<EventFilter>(*this))
{
    if (QCoreApplication* app = QCoreApplication::instance())
        app->installEventFilter(m_filter.get());
}

QtApplication::~QtApplication() = default;

void QtApplication::setMainWindow(QWidget* window)
{
    m_mainWindow = window;
    m_minimized = window && window->isMinimized();
}

void QtApplication::minimize()
{
    if (m_mainWindow)
        m_mainWindow->setWindowState(m_mainWindow->windowState() | Qt::WindowMinimized);
}

void QtApplication::restore()
{
    if (!m_mainWindow)
        return;
    m_mainWindow->setWindowState(m_mainWindow->windowState() & ~Qt::WindowMinimized);
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
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
    m_openErrors.append(message);
    QMessageBox::critical(QApplication::activeWindow(), caption, message);
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
    , m_registry(RegistryFile::defaultPath())
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
