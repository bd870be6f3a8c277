#include "FakePlatform.h"

#include "../Errors.h"
#include "../OemCodePage.h"

#include <QCoreApplication>
#include <QDialog>

std::optional<PrintDialogChoice> FakePrintDialog::execute(const PrintDialogOptions& options)
{
    m_shown.push_back(options);
    if (m_answers.empty())
        return std::nullopt;
    auto answer = m_answers.front();
    m_answers.pop_front();
    return answer;
}

void FakeScreen::beginBusy()
{
    ++m_depth;
    ++m_begun;
}

void FakeScreen::endBusy()
{
    if (m_depth > 0)
        --m_depth;
}

const OemCodePage& FakeFonts::codePage() const
{
    static const OemCodePage cp852 = *OemCodePage::load(852);
    return cp852;
}

const GlyphAdvances& FakeFonts::advances(const FontSpec& font)
{
    if (noFonts)
        throw EFontError(font.name.toStdString());
    const int size = font.horizontalPixelSize();
    auto it = m_cache.find(size);
    if (it == m_cache.end()) {
        GlyphAdvances a;
        a.fill((size * 6 + 5) / 10);
        it = m_cache.emplace(size, a).first;
    }
    return it->second;
}

std::shared_ptr<const QImage> FakeBitmaps::load(const QString& path)
{
    ++m_loads;
    auto it = m_images.constFind(path);
    if (it == m_images.constEnd())
        throw EFileError(QStringLiteral("Cannot load bitmap '%1'").arg(path).toStdString());
    return std::make_shared<const QImage>(*it);
}

int FakeApplication::execModal(QDialog& dialog)
{
    m_modals.push_back(dialog.objectName());
    const int result = answerModal ? answerModal(dialog) : int(QDialog::Rejected);
    dialog.setResult(result);
    return result;
}

void FakeApplication::setHint(const QString& hint)
{
    if (hint == m_hint)
        return;
    m_hint = hint;
    if (m_onHint)
        m_onHint();
}

void FakeApplication::setTitle(const QString& title)
{
    m_title = title;
    if (m_handle && windows)
        windows->window(m_handle).title = title;
}

WindowHandle FakeApplication::handle()
{
    if (m_handle || !windows)
        return m_handle;
    m_handle =
        windows->addWindow(QString::fromLatin1(kApplicationWindowClass), m_title, QCoreApplication::applicationPid());
    windows->window(m_handle).visible = false;
    windows->setWindowProc(
        m_handle,
        [this](WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t {
            if (message == WindowMessages::WM_SYSCOMMAND && (wParam & 0xFFF0) == WindowMessages::SC_RESTORE) {
                restore();
                return 0;
            }
            return windows->defWindowProc(window, message, wParam, lParam);
        });
    return m_handle;
}

void FakeApplication::minimize()
{
    m_minimized = true;
    if (OnMinimize)
        OnMinimize();
}

void FakeApplication::restore()
{
    m_minimized = false;
    if (OnRestore)
        OnRestore();
}

void FakeApplication::processMessages()
{
    ++m_processed;
    QCoreApplication::processEvents();
    if (onProcessMessages)
        onProcessMessages();
}

void FakeApplication::processSystemMessages()
{
    ++m_systemProcessed;
    if (onProcessSystemMessages)
        onProcessSystemMessages();
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

void FakeApplication::messageBox(const QString& text, const QString& caption, MessageIcon)
{
    m_messages.push_back(caption + QStringLiteral(": ") + text);
}

void FakeApplication::showException(const std::exception& error)
{
    m_errors.push_back(QString::fromUtf8(error.what()));
    if (duringErrorBox)
        duringErrorBox();
}
