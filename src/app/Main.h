#pragma once

#include "engine/Emulation.h"
#include "platform/IApplication.h"
#include "platform/IFileAccess.h"
#include "platform/IWindowManager.h"
#include "platform/Platform.h"

#include <QEvent>
#include <QHash>
#include <QMainWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <optional>

namespace Ui {
class TForm1;
}
class QLabel;
class QMenu;
class QTimer;
class TFileWatch;
class TPreviewPrinter;
class SpoolFileText;
class TQueueModel;
class TPrintJournal;
class TASTrayIcon;

// The program's own window messages (WM_USER + 100 to + 102), as events posted to the
// main window.
constexpr QEvent::Type WM_QUEUECHANGED = QEvent::Type(QEvent::User + 100);
constexpr QEvent::Type WM_QUEUEQUIT = QEvent::Type(QEvent::User + 101);
// A second start asks the running spooler to bring its window to the front.
constexpr QEvent::Type WM_QUEUESHOW = QEvent::Type(QEvent::User + 102);
// The window class a running spooler's main window is found by.
constexpr char kMainWindowClass[] = "TForm1";
// The most of a window title the focus hand-back looks for.
constexpr int kSearchTitleLength = 80;
// The most of a window's title it looks through.
constexpr int kWindowTitleLength = 511;

// The main window: the print queue of the spool directory. It lists the directory's
// spool files with their state, prints them one after another while the queue is not
// paused (each in batches of PagesSpool pages per printer job) and deletes what it has
// printed; it previews, prints or deletes a chosen entry on request, and keeps three
// settings in the registry. Owns the engine; starts the directory watcher. Main thread.
class TForm1 : public QMainWindow
{
public:
    // Builds the window and runs FormCreate. arguments are the command line without the
    // program name.
    TForm1(const SpoolerPlatform& platform, const QStringList& arguments, QWidget* parent = nullptr);
    ~TForm1() override;

    Ui::TForm1& controls() { return *ui; }
    TQueueModel& queue() { return *m_queue; }
    QMenu& popupMenu() { return *PopupMenu1; }
    QTimer& timer1() { return *Timer1; }
    QTimer& timer2() { return *Timer2; }
    QTimer& trayTimer() { return *TrayTimer; }
    // Text of status panel 0 (left) or 1 (right).
    QString statusText(int panel) const;

    bool Busy = false;
    QString DocName;
    int FirstPage = 0;
    std::unique_ptr<TPreviewPrinter> PreviewPrinter;
    // The document being laid out, read piece by piece; closed once it is laid out.
    std::unique_ptr<SpoolFileText> DocText;
    QString SpoolDir;
    bool PrintingActive = false;
    QPointer<TFileWatch> Watcher; // frees itself when its thread ends
    bool AutoStart = true;
    int PrinterIndex = -1;
    // The chosen queue by its name: the index moves when a queue sorting before it comes or
    // goes. Empty when none was kept.
    QString PrinterName;
    int PagesSpool = 3;
    // The printer language documents are read in; a change applies to the next document.
    TEmulation Emulation = TEmulation::CommandTable;
    // The icon in the notification area; the window's child.
    TASTrayIcon* TrayIcon = nullptr;
    // Milliseconds of a steady clock; a test may set its own.
    std::function<qint64()> Now;

    void FormCreate();
    void FormDestroy();
    QString ResolveSpoolDir() const;
    void WMQueueQuit();
    // The end of the session (SIGTERM, SIGHUP, or SIGINT in a terminal): the program ends as
    // its "Zavřít" does, without waiting for the document being printed. The batch being
    // sent is finished; the rest of the document waits in the queue for the next start,
    // which the journal lets go on after the batches the printer has had.
    void EndSession();
    // Restores the window from the tray or the task bar, with its task-bar button, and
    // activates it: only the program itself can show a window it withdrew.
    void WMQueueShow();
    // The focus hand-back ("/a"): every tick looks for the first top-level window whose
    // title holds SearchTitle, and hands it the focus once.
    void Timer2Timer();
    bool FindTitledWindow();
    // One window of the search: false (stop) once it is the one.
    bool EnumTitledWindowProc(WindowHandle window, bool& found);
    QString SearchTitle = QStringLiteral("DOVAZ260");
    void WMQueueChanged();

    void ScanQueue();
    void MergeQueue(const QByteArrayList& names);
    void UpdateStatus();
    void Timer1Timer();
    void Print1Click();
    void Preview2Click();
    void Delete1Click();
    void EraseQueueClick();
    void PausePrintingClick();
    void Exit1Click();
    void FormResize();
    void ListView1MouseDown(Qt::MouseButton button, QPoint globalPosition);
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    // The tray: minimising the application leaves only the tray icon (FormHide); restoring
    // it or showing the window brings the task-bar button back (FormShow); a click on the
    // tray icon restores the window (FormRestore).
    void FormHide();
    void FormShow();
    void FormRestore();
    // Every tick looks whether the desktop's notification area came or went: one that came
    // gets the icon, and a minimised window goes into it as at a start with one; when it
    // goes, a window hidden in it comes back into the task bar, minimised.
    void TrayTimerTimer();

    // Paths are the bytes of the file's name, as the directory gave them. `again`: a
    // document the printer has had whole is printed once more (the user asked for it).
    bool PrintFile(const QByteArray& path, bool again = false);
    void PrepareJob(const QByteArray& path);
    void LoadText(const QByteArray& path);
    void PreviewPrinterNewPage(TPreviewPrinter& Sender, int Page);

    void LoadSettings();
    void SaveSettings();
    void Settings1Click();
    // A choice in the "Emulace" menu: kept at once, used from the next document on.
    void EmulationClick(TEmulation emulation);

protected:
    void customEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // Closing the window ends the program.
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs an entry from the event loop; a failure shows in the standard error box,
    // during which no print pass starts.
    template <typename F> void guardedEntry(F&& action);
    void bindHandlers();
    // Saves the settings with the pause switch as it is now; a failure is also said on
    // standard error, for a spooler nobody watches, and thrown on.
    void storeSettings();
    // Checks the "Emulace" entry of the emulation in force.
    void showEmulation();
    QByteArray entryPath(int row) const;
    int selectedRow() const;
    void selectRow(int row);
    void printPass();
    // Deletes a spool file unless another process has it open.
    bool deleteSpoolFile(const QByteArray& path);
    // After PrintFile succeeded: deletes the very file that was printed and removes its
    // entry; false when the entry stays (the file changed, is held again or cannot be
    // deleted).
    bool printed(int row);
    // Sends the engine's pages as one job unless the printer has had them already, and
    // notes them in the journal.
    void printBatch(TPreviewPrinter& engine, int firstPage);
    // A batch of the document that was being sent when the program ended (or when its
    // job failed): the printer is asked whether the job came through, and the journal
    // notes it as accepted, or drops the note.
    void settleSending(const FileIdentity& file);
    // Forgets what the journal knows of documents no longer in the spool directory, once it
    // holds notes of many of them.
    void pruneJournal();
    // Shows the journal's trouble in the status bar and on standard error, once for each
    // new trouble; clears it once the journal is written again.
    void reportJournal();
    // On a network share a lease cannot see writers on other machines: there a file counts
    // as held until it has kept its size and time for one poll of the directory.
    bool stillOnShare(const QByteArray& path, const FileIdentity& file);
    // Whether the file under the name is a document refused before and still unchanged.
    bool refusedBefore(const QByteArray& path);

    std::unique_ptr<Ui::TForm1> ui;
    SpoolerPlatform m_platform;
    QStringList m_arguments;
    TQueueModel* m_queue = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QTimer* TrayTimer = nullptr;
    bool m_trayAvailable = false; // the notification area as the last tick saw it
    QLabel* m_panels[2] = {nullptr, nullptr};
    std::unique_ptr<TPrintJournal> m_journal;
    // The spool file being printed or previewed, opened once: read, identified and in the
    // end deleted through this handle.
    SpoolHandle m_document;
    bool m_onShare = false; // the spool directory lies on a network share
    struct Look
    {
        FileIdentity file;
        qint64 since = 0;
    };
    QHash<QByteArray, Look> m_looks;           // on a share: each file as last seen, and since when
    QHash<QByteArray, FileIdentity> m_refused; // documents that cannot be laid out, as they were
    QStringList m_refusals;                    // their errors, shown once the pass is over
    QList<QEvent::Type> m_afterDocument;       // queue changes and quit requests met during a job
    bool m_inPass = false;
    QString m_journalError; // what keeps the journal from being written; shown while it lasts
    int m_errorBoxes = 0;
    bool m_quitRequested = false; // the window closes at a quit request: errors at exit show no box
    bool m_ending = false;        // the session ends: no batch or document is begun any more
    // The emulation of the document being read: the one in force when its reading began.
    TEmulation m_emulationInUse = TEmulation::CommandTable;
    // Thrown between two batches of a document once the session ends; the job stops there.
    struct SessionEnding
    {
    };
};

// The spooler's entry once the application object exists: refuses to start without a
// printer (a message box says so), otherwise creates the main window and runs the
// message loop until it is closed. Returns the exit code.
// With endOnSignals (the real program only), SIGTERM, SIGHUP and SIGINT end it as
// TForm1::EndSession does, through a pipe into the event loop.
int runSpooler(const SpoolerPlatform& platform, const QStringList& arguments, bool endOnSignals = false);

// The platform Qt is to run on, chosen before the application object is made from the
// environment's variables (variable gives the value of one, empty when it is not set):
// "xcb" wherever an X display exists (DISPLAY), also in a Wayland session, where the
// notification area and the window search of other programs need X11; empty (Qt's own
// choice) without an X display or when the user named a platform (QT_QPA_PLATFORM).
QByteArray chooseQtPlatform(const std::function<QByteArray(const char*)>& variable);

// "--help" or "--version" as the first argument is answered on standard output, and the
// program then ends (exit code 0) without starting a spooler; false for anything else.
// Only the first: the text after "/a" may be anything.
bool answerInfoSwitch(const QStringList& arguments);

// The spool directory: PAGELLO (relative to the start-up directory, without a trailing
// slash), or "tisk" beside the program.
QString resolveSpoolDir(const IProcessEnvironment& environment);
