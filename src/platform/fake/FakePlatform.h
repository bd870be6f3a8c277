#pragma once

#include "../IApplication.h"
#include "../IBitmaps.h"
#include "../IFonts.h"
#include "../IPrintDialog.h"
#include "../IScreen.h"
#include "../Platform.h"
#include "FakeFiles.h"
#include "FakeNotifyArea.h"
#include "FakePrinters.h"
#include "FakeRegistry.h"
#include "FakeWindowManager.h"

#include <QHash>

#include <deque>
#include <map>
#include <tuple>
#include <vector>

// The system print dialog as a test scripts it: each execute takes the next scripted
// answer (cancel when none is left) and records the options it was shown with.
class FakePrintDialog : public IPrintDialog
{
public:
    void scriptAnswer(std::optional<PrintDialogChoice> answer) { m_answers.push_back(answer); }
    const std::vector<PrintDialogOptions>& shown() const { return m_shown; }
    std::optional<PrintDialogChoice> execute(const PrintDialogOptions& options) override;

private:
    std::deque<std::optional<PrintDialogChoice>> m_answers;
    std::vector<PrintDialogOptions> m_shown;
};

class FakeScreen : public IScreen
{
public:
    explicit FakeScreen(int pixelsPerInch = 96)
        : m_ppi(pixelsPerInch)
    {}
    int pixelsPerInch() const override { return m_ppi; }
    void setCursor(int id, const QCursor& cursor) override { m_cursors.insert(id, cursor); }
    QCursor cursor(int id) const override { return m_cursors.value(id, QCursor(Qt::ArrowCursor)); }
    bool hasCursor(int id) const { return m_cursors.contains(id); }
    void beginBusy() override;
    void endBusy() override;
    bool busy() const { return m_depth > 0; }
    int busyDepth() const { return m_depth; }
    int busyCount() const { return m_begun; }

private:
    int m_ppi;
    QHash<int, QCursor> m_cursors;
    int m_depth = 0;
    int m_begun = 0;
};

// Fixed-pitch metrics: every glyph advances 0.6 em (the pitch of a typewriter face),
// bold or not, so layouts are exact without any font installed.
class FakeFonts : public IFonts
{
public:
    const OemCodePage& codePage() const override;
    const GlyphAdvances& advances(const FontSpec& font) override;
    int measuredFonts() const { return static_cast<int>(m_cache.size()); }
    // A desktop without any font: measuring fails as it does there.
    bool noFonts = false;

private:
    std::map<int, GlyphAdvances> m_cache; // by pixel size
};

// Bitmaps from memory by path; a path never added fails to load.
class FakeBitmaps : public IBitmaps
{
public:
    void addBitmap(const QString& path, const QImage& image) { m_images.insert(path, image); }
    std::shared_ptr<const QImage> load(const QString& path) override;
    int loads() const { return m_loads; }

private:
    QHash<QString, QImage> m_images;
    int m_loads = 0;
};

// The application object as a test drives it: the hint is set by the test, error boxes
// and message boxes are recorded instead of shown, each modal dialog is answered by the
// scripted handler (it may fill the dialog in), or rejected when none is set, and
// processing messages delivers Qt's pending events and then runs the test's hook.
class FakeApplication : public IApplication
{
public:
    QString title() const override { return m_title; }
    void setTitle(const QString& title) override;
    void setMainWindow(QWidget* window) override { m_mainWindow = window; }
    QWidget* mainWindow() const override { return m_mainWindow; }
    // A window of `windows` titled with the title, class "TApplication", made on first use;
    // SC_RESTORE sent to it restores the application.
    WindowHandle handle() override;
    // Where the application's window lives; without one there is none.
    FakeWindowManager* windows = nullptr;
    void minimize() override;
    void restore() override;
    void processMessages() override;
    void processSystemMessages() override;
    void messageBox(const QString& text, const QString& caption, MessageIcon icon) override;
    QString hint() const override { return m_hint; }
    HintHandler onHint() const override { return m_onHint; }
    void setOnHint(HintHandler handler) override { m_onHint = std::move(handler); }
    void showException(const std::exception& error) override;
    int execModal(QDialog& dialog) override;

    // Runs while an error box "is open", as the event loop would run timers meanwhile.
    std::function<void()> duringErrorBox;
    // Changes the hint as the mouse over a control would.
    void setHint(const QString& hint);
    std::function<int(QDialog&)> answerModal;
    // Runs inside every processMessages, after Qt's pending events.
    std::function<void()> onProcessMessages;
    // Runs inside every processSystemMessages, before Qt's pending events.
    std::function<void()> onProcessSystemMessages;
    bool minimized() const { return m_minimized; }
    int processed() const { return m_processed; }
    int systemProcessed() const { return m_systemProcessed; }
    const std::vector<QString>& errors() const { return m_errors; }
    // "caption: text" of each message box, in order.
    const std::vector<QString>& messages() const { return m_messages; }
    // Object names of the dialogs shown, in order.
    const std::vector<QString>& modals() const { return m_modals; }

private:
    QString m_title;
    QWidget* m_mainWindow = nullptr;
    WindowHandle m_handle = 0;
    bool m_minimized = false;
    int m_processed = 0;
    int m_systemProcessed = 0;
    QString m_hint;
    HintHandler m_onHint;
    std::vector<QString> m_errors;
    std::vector<QString> m_messages;
    std::vector<QString> m_modals;
};

// One of every fake, wired as a Platform.
struct FakePlatform
{
    FakePrinters printers;
    FakePrintDialog printDialog;
    FakeScreen screen;
    FakeFonts fonts;
    FakeBitmaps bitmaps;
    FakeApplication application;
    Platform platform() { return Platform{printers, printDialog, screen, fonts, bitmaps, application}; }
};

// The fakes of everything the spooler uses, wired as a SpoolerPlatform.
struct FakeSpoolerPlatform : FakePlatform
{
    FakeRegistry registry;
    FakeChangeNotifications notifications;
    FakeFileAccess files;
    FakeProcessEnvironment environment;
    FakeWindowManager windows;
    FakeNotifyArea notifyArea{windows};
    QString journalPath; // empty: the journal lives in memory
    FakeSpoolerPlatform() { application.windows = &windows; }
    SpoolerPlatform spooler()
    {
        return SpoolerPlatform{platform(),  registry, notifications, files,
                               environment, windows,  notifyArea,    journalPath};
    }
};
