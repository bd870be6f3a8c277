#pragma once

#include "platform/IApplication.h"
#include "platform/Platform.h"

#include <QEvent>
#include <QMainWindow>
#include <QPointer>

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

// The program's own window messages, as events posted to the main window.
constexpr QEvent::Type WM_QUEUECHANGED = QEvent::Type(QEvent::User + 100);
constexpr QEvent::Type WM_QUEUEQUIT = QEvent::Type(QEvent::User + 101);

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
    int PagesSpool = 3;

    void FormCreate();
    void FormDestroy();
    QString ResolveSpoolDir() const;
    void WMQueueQuit();
    void WMQueueChanged();

    void ScanQueue();
    void MergeQueue(const QStringList& names);
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

    bool PrintFile(const QString& path);
    void PrepareJob(const QString& path);
    void LoadText(const QString& path);
    void PreviewPrinterNewPage(TPreviewPrinter& Sender, int Page);

    void LoadSettings();
    void SaveSettings();
    void Settings1Click();

protected:
    void customEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Runs an entry from the event loop; a failure shows in the standard error box,
    // during which no print pass starts.
    template <typename F> void guardedEntry(F&& action);
    void bindHandlers();
    QString entryPath(int row) const;
    int selectedRow() const;
    void selectRow(int row);
    void printPass();
    // Deletes a spool file unless another process has it open.
    bool deleteSpoolFile(const QString& path);
    // Removes a printed entry and its file; false when the file stays, marked as printed.
    bool printed(int row);

    std::unique_ptr<Ui::TForm1> ui;
    SpoolerPlatform m_platform;
    QStringList m_arguments;
    TQueueModel* m_queue = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QTimer* Timer1 = nullptr;
    QTimer* Timer2 = nullptr;
    QLabel* m_panels[2] = {nullptr, nullptr};
    bool m_inPass = false;
    int m_errorBoxes = 0;
};

// The spooler's entry once the application object exists: refuses to start without a
// printer (a message box says so), otherwise creates the main window and runs the
// message loop until it is closed. Returns the exit code.
int runSpooler(const SpoolerPlatform& platform, const QStringList& arguments);
