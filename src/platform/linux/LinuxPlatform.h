#pragma once

#include "../IApplication.h"
#include "../IBitmaps.h"
#include "../IFonts.h"
#include "../IPrintDialog.h"
#include "../IPrinters.h"
#include "../IScreen.h"
#include "../Platform.h"
#include "LinuxFiles.h"
#include "QtNotifyArea.h"
#include "RegistryFile.h"
#include "XcbWindowManager.h"

#include <QHash>
#include <QPointer>
#include <QSizeF>
#include <QString>
#include <QWidget>

#include <memory>
#include <unordered_map>

class QPrinter;
class QTemporaryFile;
class PdfDocument;
class OemCodePage;
class CheckedWrites;
class OutputFile;

// The printers of the desktop through Qt PrintSupport (CUPS). The current printer
// starts as the system's default one. Metrics: the printer's resolution, its paper in
// device pixels and its hardware (minimum) margins as the physical offsets.
//
// A job is written as a PDF of the printer's paper (PdfDocument) into a temporary file and
// handed to CUPS by endDoc, which raises unless every byte of it was written and CUPS has accepted
// it; abortDoc hands over nothing.
class QtPrinters : public IPrinters
{
public:
    explicit QtPrinters(IFonts& fonts);
    ~QtPrinters() override;

    QStringList printerNames() const override;
    int printerIndex() const override { return m_index; }
    void setPrinterIndex(int index) override;
    TPrinterOrientation orientation() const override { return m_orientation; }
    void setOrientation(TPrinterOrientation orientation) override;
    QString title() const override { return m_title; }
    void setTitle(const QString& title) override { m_title = title; }
    DeviceMetrics deviceMetrics() override;
    bool printing() const override { return m_pdf != nullptr; }
    void beginDoc() override;
    void newPage() override;
    void endDoc() override;
    void abortDoc() override;
    void drawPage(const TMetafile& page, QPoint offset) override;
    // Asks the scheduler for this user's jobs, finished ones too.
    bool jobCreatedSince(const QString& title, qint64 since) override;

    // The printer object of the current printer (for the system print dialog).
    QPrinter& qprinter();
    // Takes the printer the dialog left in qprinter() as the current one.
    void adoptDialogPrinter();

private:
    QPrinter& current();

    IFonts& m_fonts;
    QStringList m_names;
    int m_index = -1;
    TPrinterOrientation m_orientation = poPortrait;
    QString m_title;
    std::unique_ptr<QPrinter> m_printer; // of m_index, made on first use
    bool m_metricsValid = false;
    DeviceMetrics m_metrics;
    // The open job: its file, the checked writes into it and the PDF written through them;
    // its sheet in points and resolution, and the corner of the printable area on it.
    std::unique_ptr<QTemporaryFile> m_document;
    std::unique_ptr<CheckedWrites> m_output;
    std::unique_ptr<PdfDocument> m_pdf;
    QSizeF m_sheet;
    int m_dpi = 0;
    QPoint m_printable;
};

// The system print dialog on the current printer of QtPrinters.
class QtPrintDialog : public IPrintDialog
{
public:
    explicit QtPrintDialog(QtPrinters& printers)
        : m_printers(printers)
    {}
    std::optional<PrintDialogChoice> execute(const PrintDialogOptions& options) override;

private:
    QtPrinters& m_printers;
};

// A described device that needs no printer: layout metrics as given. Its jobs write a
// PDF file (PdfDocument) whose sheets have the device's size and resolution, each axis its own; a
// PDF's printable area is the whole sheet, so while a job is open the offsets are 0.
// The file is written whole or not at all (OutputFile): endDoc raises when it could not
// be, and a job that fails or is aborted leaves an earlier file at the name as it was.
class PdfFilePrinter : public IPrinters
{
public:
    PdfFilePrinter(const DeviceMetrics& metrics, const QString& outputFile, IFonts& fonts);
    ~PdfFilePrinter() override;

    QStringList printerNames() const override { return {QStringLiteral("PDF")}; }
    int printerIndex() const override { return 0; }
    void setPrinterIndex(int index) override;
    TPrinterOrientation orientation() const override { return m_orientation; }
    void setOrientation(TPrinterOrientation orientation) override { m_orientation = orientation; }
    QString title() const override { return m_title; }
    // The title of the document, which may still be given while it is printed.
    void setTitle(const QString& title) override;
    DeviceMetrics deviceMetrics() override;
    bool printing() const override { return m_pdf != nullptr; }
    void beginDoc() override;
    void newPage() override;
    void endDoc() override;
    void abortDoc() override;
    void drawPage(const TMetafile& page, QPoint offset) override;

private:
    void beginSheet();

    DeviceMetrics m_metrics;
    QString m_outputFile;
    IFonts& m_fonts;
    TPrinterOrientation m_orientation = poPortrait;
    QString m_title;
    std::unique_ptr<OutputFile> m_output;
    std::unique_ptr<PdfDocument> m_pdf;
    DeviceMetrics m_sheet; // of the open job
};

// The screen: logical resolution of the primary screen (96 without one) and the
// application's override cursor.
class QtScreen : public IScreen
{
public:
    int pixelsPerInch() const override;
    void setCursor(int id, const QCursor& cursor) override { m_cursors.insert(id, cursor); }
    QCursor cursor(int id) const override { return m_cursors.value(id, QCursor(Qt::ArrowCursor)); }
    void beginBusy() override;
    void endBusy() override;

private:
    QHash<int, QCursor> m_cursors;
};

// The Qt application: the hint follows the status tips of the widgets under the mouse
// (a widget's statusTip is its hint), minimising and restoring are those of the main
// window, errors show in a critical message box titled with the application's title,
// and dialogs run their own modal loop. Needs the QApplication to exist for its whole
// life.
//
// With a window manager it has a window of its own: a top-level widget of class
// "TApplication", titled with the application's title, that is never mapped. Hiding it
// unmaps a minimised main window, which takes its button out of the task bar and leaves
// the tray icon; not while the desktop has no notification area, which would leave no way
// back to the program. Showing or restoring it maps such a window minimised again.
// A main window never shown yet stays unshown: minimising and restoring only change its
// state, which it takes along when it is shown; SC_RESTORE sent to the application's
// window shows it.
class QtApplication : public IApplication
{
public:
    // Without a window manager (or a QApplication) there is no window of its own.
    explicit QtApplication(IWindowManager* windows = nullptr);
    ~QtApplication() override;
    QString title() const override { return m_title; }
    void setTitle(const QString& title) override;
    void setMainWindow(QWidget* window) override;
    QWidget* mainWindow() const override { return m_mainWindow; }
    WindowHandle handle() override { return m_handle; }
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

private:
    class EventFilter;
    class Window;
    void setHint(const QString& hint);
    void windowStateChanged(bool minimized);
    // The main window's state as the program sees it; one never shown yet keeps its X
    // window as it is (Qt maps a window that leaves the minimised state).
    void setMainWindowState(Qt::WindowStates state);
    // Un-minimises, shows, raises and activates the main window; one never shown yet only
    // leaves the minimised state unless showNew.
    void restoreMainWindow(bool showNew);
    std::intptr_t windowProc(WindowHandle window, unsigned message, std::uintptr_t wParam, std::intptr_t lParam);
    void setButtonHidden(bool hidden);
    void placeButton();

    QString m_title;
    QString m_hint;
    HintHandler m_onHint;
    std::unique_ptr<EventFilter> m_filter;
    QPointer<QWidget> m_mainWindow;
    bool m_minimized = false;
    QStringList m_openErrors; // messages whose box is open now
    IWindowManager* m_windows;
    std::unique_ptr<Window> m_window; // the application's own
    WindowHandle m_handle = 0;
    bool m_buttonHidden = false;
    bool m_unmapped = false; // the main window, hidden while minimised
};

// Fonts through Qt and fontconfig ("Courier New" resolves to its metric twin
// Liberation Mono), unhinted, measured once per font at its pixel size.
class QtFonts : public IFonts
{
public:
    explicit QtFonts(const OemCodePage& codePage);
    const OemCodePage& codePage() const override { return m_codePage; }
    const GlyphAdvances& advances(const FontSpec& font) override;

private:
    const OemCodePage& m_codePage;
    std::unordered_map<QString, GlyphAdvances> m_cache;
};

// BMP files through QImage.
class QtBitmaps : public IBitmaps
{
public:
    std::shared_ptr<const QImage> load(const QString& path) override;
};

// The real services of this desktop, owned together.
class LinuxPlatform
{
public:
    LinuxPlatform();
    ~LinuxPlatform();
    Platform platform();
    SpoolerPlatform spooler();
    QtPrinters& printers() { return *m_printers; }
    QtFonts& fonts() { return *m_fonts; }
    QtScreen& screen() { return m_screen; }
    QtBitmaps& bitmaps() { return m_bitmaps; }
    QtApplication& application() { return m_application; }
    XcbWindowManager& windows() { return m_windows; }

private:
    std::unique_ptr<QtFonts> m_fonts;
    std::unique_ptr<QtPrinters> m_printers;
    std::unique_ptr<QtPrintDialog> m_printDialog;
    QtScreen m_screen;
    QtBitmaps m_bitmaps;
    XcbWindowManager m_windows; // before the application, whose window it handles
    QtApplication m_application{&m_windows};
    RegistryFile m_registry;
    InotifyNotifications m_notifications;
    LeaseFileAccess m_files;
    ProcessEnvironment m_environment;
    QtNotifyArea m_notifyArea{m_windows};
};
