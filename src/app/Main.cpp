#include "Main.h"
#include "ui_Main.h"

#include "FileWatch.h"
#include "Glyphs.h"
#include "Journal.h"
#include "Queue.h"
#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/IChangeNotifications.h"
#include "platform/IFileAccess.h"
#include "platform/IPrinters.h"
#include "platform/IProcessEnvironment.h"
#include "platform/IWindowManager.h"
#include "tray/ASTrayIcon.h"
#include "tray/WindowHelpers.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <unordered_set>

#include <fcntl.h>
#include <unistd.h>

namespace {

const QString kQueued = QStringLiteral("%1 dokument(ů) ve frontě");
const QString kPrinting = QStringLiteral("tiskne se");
const QString kInUse = QStringLiteral("radi se");
const QString kIdle = QStringLiteral("Klidový stav");
// A printed file that could not be deleted; it is not printed again unless it changes.
const QString kPrinted = QStringLiteral("vytištěno");
// A document that cannot be laid out; it is not tried again unless it changes.
const QString kRefused = QStringLiteral("chyba");
// The journal of printed batches cannot be written: nothing more is sent until it can.
const QString kJournalFault = QStringLiteral("Nelze zapsat deník tisku");

constexpr int kFirstTickMs = 10000;
constexpr int kTickMs = 1000;
// The watcher looks at a network share this often.
constexpr qint64 kSharePollMs = 4000;
// How often the program looks whether a notification area came or went: the icon is not
// left to dock by itself in an area that comes up later.
constexpr int kTrayLookMs = 2000;

// The pipe a signal that ends the session writes into; the event loop reads it.
int endSignalPipe[2] = {-1, -1};

void endSignalHandler(int)
{
    // Only what is safe in a signal handler: one byte into the pipe, errno kept.
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(endSignalPipe[1], &byte, 1);
    errno = saved;
}

// SIGTERM and SIGHUP (the session ends) and SIGINT (Ctrl+C in a terminal) write into the
// pipe; returns its reading end, or -1 where it cannot be made (the signals then end the
// program as they always do).
int installEndSignals()
{
    if (endSignalPipe[0] < 0 && ::pipe2(endSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return -1;
    struct sigaction action = {};
    action.sa_handler = endSignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : {SIGTERM, SIGHUP, SIGINT})
        sigaction(number, &action, nullptr);
    return endSignalPipe[0];
}

} // namespace

template <typename F> void TForm1::guardedEntry(F&& action)
{
    try {
        std::forward<F>(action)();
    } catch (const std::exception& e) {
        ++m_errorBoxes;
        m_platform.engine.application.showException(e);
        --m_errorBoxes;
    }
}

TForm1::TForm1(const SpoolerPlatform& platform, const QStringList& arguments, QWidget* parent)
    : QMainWindow(parent)
    , ui(std::make_unique<Ui::TForm1>())
    , m_platform(platform)
    , m_arguments(arguments)
{
    Now = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    };
    ui->setupUi(this);
    m_queue = new TQueueModel(this);
    ui->ListView1->setModel(m_queue);
    ui->ListView1->header()->setStretchLastSection(false);
    ui->ListView1->setColumnWidth(0, 200);
    const QPixmap icon = Glyphs::windowIcon().pixmap(16, 16);
    ui->Image1->setPixmap(icon);
    setWindowIcon(Glyphs::windowIcon());

    for (int i = 0; i < 2; ++i) {
        m_panels[i] = new QLabel(this);
        m_panels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        m_panels[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        m_panels[i]->setMinimumWidth(50);
        ui->StatusBar1->addWidget(m_panels[i], i);
    }

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    PopupMenu1->addAction(ui->Print1);
    PopupMenu1->addAction(ui->Nahled1);
    PopupMenu1->addSeparator()->setObjectName(QStringLiteral("N2"));
    PopupMenu1->addAction(ui->Delete1);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kFirstTickMs);
    Timer2 = new QTimer(this);
    Timer2->setObjectName(QStringLiteral("Timer2"));
    Timer2->setInterval(500);
    TrayTimer = new QTimer(this);
    TrayTimer->setObjectName(QStringLiteral("TrayTimer"));
    TrayTimer->setInterval(kTrayLookMs);
    // The first window made is the one that stands for the application; the application's
    // own window exists from the start.
    IApplication& application = m_platform.engine.application;
    if (!application.mainWindow())
        application.setMainWindow(this);
    application.handle();
    // A second start finds the running spooler by its window, from now on, minimised or
    // hidden in the tray as well.
    IWindowManager& windows = m_platform.windows;
    windows.setWindowClass(windows.handleOf(*this), QString::fromLatin1(kMainWindowClass));

    // The client area of the form: 430 x 107 below the menu.
    resize(430, 107 + menuBar()->sizeHint().height());
    bindHandlers();
    guardedEntry([this] { FormCreate(); });
    Timer1->start();
}

TForm1::~TForm1()
{
    // The controls outlive the form's own members: their events must not reach it.
    ui->ListView1->viewport()->removeEventFilter(this);
    ui->ListView1->removeEventFilter(this);
    IApplication& application = m_platform.engine.application;
    application.OnMinimize = nullptr;
    application.OnRestore = nullptr;
    guardedEntry([this] { FormDestroy(); });
    // The tray icon gives the window its own procedure back while the window is whole.
    delete TrayIcon;
    if (application.mainWindow() == this)
        application.setMainWindow(nullptr);
}

void TForm1::bindHandlers()
{
    const auto bind = [this](auto* sender, auto signal, void (TForm1::*handler)()) {
        connect(sender, signal, this, [this, handler] { guardedEntry([&] { (this->*handler)(); }); });
    };
    bind(Timer1, &QTimer::timeout, &TForm1::Timer1Timer);
    bind(Timer2, &QTimer::timeout, &TForm1::Timer2Timer);
    bind(TrayTimer, &QTimer::timeout, &TForm1::TrayTimerTimer);
    // A checkable menu item flips its own check mark before it reports the click; the
    // handler is the one that inverts it, so the item's flip is taken back first.
    connect(ui->PausePrinting, &QAction::triggered, this, [this](bool checked) {
        ui->PausePrinting->setChecked(!checked);
        // The switch is kept at once: a display that goes away ends the program without
        // its exit, and nothing chosen is lost then.
        guardedEntry([this] {
            PausePrintingClick();
            storeSettings();
        });
    });
    bind(ui->EraseQueue, &QAction::triggered, &TForm1::EraseQueueClick);
    bind(ui->Settings1, &QAction::triggered, &TForm1::Settings1Click);
    auto* emulations = new QActionGroup(this);
    emulations->setExclusive(true);
    const std::pair<QAction*, TEmulation> choices[] = {{ui->EmulationTable, TEmulation::CommandTable},
                                                       {ui->EmulationEscP2, TEmulation::EscP2},
                                                       {ui->EmulationPcl5, TEmulation::Pcl5}};
    for (const auto& [action, emulation] : choices) {
        emulations->addAction(action);
        connect(action, &QAction::triggered, this,
                [this, emulation] { guardedEntry([this, emulation] { EmulationClick(emulation); }); });
    }
    bind(ui->Exit1, &QAction::triggered, &TForm1::Exit1Click);
    bind(ui->Print1, &QAction::triggered, &TForm1::Print1Click);
    bind(ui->Nahled1, &QAction::triggered, &TForm1::Preview2Click);
    bind(ui->Delete1, &QAction::triggered, &TForm1::Delete1Click);
    ui->ListView1->installEventFilter(this);
    ui->ListView1->viewport()->installEventFilter(this);
}

bool TForm1::eventFilter(QObject* watched, QEvent* event)
{
    // The columns follow the list's client area, which has its new size only once the
    // window's layout has placed the list.
    if (watched == ui->ListView1->viewport() && event->type() == QEvent::Resize)
        guardedEntry([this] { FormResize(); });
    if (watched == ui->ListView1->viewport() && event->type() == QEvent::MouseButtonPress) {
        auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() == Qt::RightButton) {
            // The entry under the pointer is the one the menu acts on.
            const QModelIndex under = ui->ListView1->indexAt(mouse->position().toPoint());
            if (under.isValid())
                selectRow(under.row());
            guardedEntry([&] { ListView1MouseDown(mouse->button(), mouse->globalPosition().toPoint()); });
            return true;
        }
    } else if (watched == ui->ListView1 && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        guardedEntry([&] { FormKeyDown(key->key(), key->modifiers()); });
    }
    return QMainWindow::eventFilter(watched, event);
}

void TForm1::customEvent(QEvent* event)
{
    // The window is served between the batches of a long document. A change of the queue
    // or a request to end waits until the document is done: the job keeps to the entry it
    // began with, and ending waits for the job.
    if (Busy && (event->type() == WM_QUEUECHANGED || event->type() == WM_QUEUEQUIT)) {
        if (!m_afterDocument.contains(event->type()))
            m_afterDocument << event->type();
        return;
    }
    if (event->type() == WM_QUEUECHANGED)
        guardedEntry([this] { WMQueueChanged(); });
    else if (event->type() == WM_QUEUEQUIT)
        guardedEntry([this] { WMQueueQuit(); });
    else if (event->type() == WM_QUEUESHOW)
        guardedEntry([this] { WMQueueShow(); });
}

QString TForm1::statusText(int panel) const
{
    return m_panels[panel]->text();
}

QByteArray TForm1::entryPath(int row) const
{
    return QFile::encodeName(SpoolDir) + '/' + m_queue->entry(row).name;
}

int TForm1::selectedRow() const
{
    const QModelIndexList rows = ui->ListView1->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TForm1::selectRow(int row)
{
    ui->ListView1->selectionModel()->select(m_queue->index(row, 0),
                                            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ui->ListView1->setCurrentIndex(m_queue->index(row, 0));
}

void TForm1::FormCreate()
{
    PreviewPrinter = std::make_unique<TPreviewPrinter>(m_platform.engine);
    m_journal = std::make_unique<TPrintJournal>(m_platform.journalPath);
    SpoolDir = ResolveSpoolDir();
    Watcher = new TFileWatch(this, SpoolDir, m_platform.notifications);
    m_platform.files.restoreSetAside(QFile::encodeName(SpoolDir));
    ScanQueue();
    if (QFileInfo::exists(m_platform.environment.programDirectory() + QStringLiteral("/kavrin.fxp")))
        Watcher->resume();
    LoadSettings();
    showEmulation();
    ui->PausePrinting->setChecked(AutoStart);
    PausePrintingClick();
    // The tray icon shows the picture of Image1.
    IApplication& application = m_platform.engine.application;
    TrayIcon = new TASTrayIcon(this, TrayPlatform{m_platform.windows, m_platform.notifyArea, application});
    const TIcon picture(ui->Image1->pixmap().toImage());
    TrayIcon->setIcon(&picture);
    application.OnMinimize = [this] { guardedEntry([this] { FormHide(); }); };
    application.OnRestore = [this] { guardedEntry([this] { FormShow(); }); };
    TrayIcon->OnClick = [this](QObject&, TMouseButton, TShiftState, int, int) { FormRestore(); };
    // Desktops that open a menu of their own on the icon: the queue window, and the end of
    // the program as its own menu ends it.
    auto* show = new QAction(QStringLiteral("Pagello"), this);
    show->setObjectName(QStringLiteral("TrayShow"));
    connect(show, &QAction::triggered, this, [this] { guardedEntry([this] { WMQueueShow(); }); });
    TrayIcon->setShellMenu({show, ui->Exit1});
    // The program starts minimised, out of the task bar: only the tray icon shows. The
    // task-bar button is hidden by the last minimise, the one before having shown it.
    application.minimize();
    setWindowState(windowState() | Qt::WindowMinimized);
    application.restore();
    application.minimize();
    const bool handBack = !m_arguments.isEmpty() && m_arguments.first().toLower() == QLatin1String("/a");
    Timer2->setInterval(500);
    if (handBack)
        Timer2->start();
    else
        Timer2->stop();
    // A notification area that comes up later gets the icon: the area as it is now.
    m_trayAvailable = m_platform.notifyArea.isAvailable();
    TrayTimer->start();
    // Without a notification area the task list is the only way to the program: the
    // window waits there, minimised, until an area comes.
    if (!m_trayAvailable) {
        TrayIcon->ApplyHideForm();
        m_platform.windows.showWindow(m_platform.windows.handleOf(*this), IWindowManager::Show::Minimize);
    }
}

void TForm1::FormHide()
{
    TrayIcon->setHideForm(true);
}

void TForm1::FormShow()
{
    if (TrayIcon)
        TrayIcon->setHideForm(false);
}

void TForm1::FormRestore()
{
    // The application restores and shows the window; FormShow brings its task-bar button
    // back.
    IWindowManager& windows = m_platform.windows;
    const WindowHandle application = m_platform.engine.application.handle();
    windows.bringToTop(application);
    windows.sendMessage(application, WindowMessages::WM_SYSCOMMAND, WindowMessages::SC_RESTORE, 0);
    windows.setForegroundWindow(application);
}

void TForm1::TrayTimerTimer()
{
    const bool available = m_platform.notifyArea.isAvailable();
    if (available == m_trayAvailable)
        return;
    m_trayAvailable = available;
    const bool minimised = isMinimized() || isHidden();
    if (available) {
        // Added again, so that the new area shows it whether or not it finds icons that
        // were added before it came.
        TrayIcon->ShowIcon();
        if (!minimised)
            return;
        if (TrayIcon->HideForm())
            TrayIcon->ApplyHideForm();
        else
            TrayIcon->setHideForm(true);
    } else if (minimised) {
        TrayIcon->ApplyHideForm();
        if (isHidden())
            m_platform.windows.showWindow(m_platform.windows.handleOf(*this), IWindowManager::Show::Minimize);
    }
}

void TForm1::showEvent(QShowEvent* event)
{
    guardedEntry([this] { FormShow(); });
    QMainWindow::showEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event)
{
    QMainWindow::closeEvent(event);
    if (event->isAccepted())
        QCoreApplication::quit();
}

void TForm1::FormDestroy()
{
    // The watcher must not outlive the window and the services it uses; its waits end
    // within a second of the request.
    if (Watcher) {
        Watcher->requestStop();
        Watcher->wait(5000);
        if (!Watcher->isRunning())
            delete Watcher;
    }
    try {
        storeSettings();
    } catch (const std::exception&) {
        // Ended by a quit request ("pagello /u" from a script, say), nobody may be at the
        // screen: a box would hold the end of the program until someone clicks it.
        if (!m_quitRequested)
            throw;
    }
    PreviewPrinter.reset();
}

void TForm1::showEmulation()
{
    QAction* const actions[] = {ui->EmulationTable, ui->EmulationEscP2, ui->EmulationPcl5};
    actions[static_cast<int>(Emulation)]->setChecked(true);
}

void TForm1::EmulationClick(TEmulation emulation)
{
    Emulation = emulation;
    showEmulation();
    storeSettings();
}

void TForm1::storeSettings()
{
    AutoStart = !ui->PausePrinting->isChecked();
    try {
        SaveSettings();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: the settings were not saved: %s\n", program_invocation_short_name, e.what());
        throw;
    }
}

QByteArray chooseQtPlatform(const std::function<QByteArray(const char*)>& variable)
{
    if (!variable("QT_QPA_PLATFORM").isEmpty() || variable("DISPLAY").isEmpty())
        return {};
    return QByteArrayLiteral("xcb");
}

QString resolveSpoolDir(const IProcessEnvironment& environment)
{
    const QString value = environment.environmentVariable(QStringLiteral("PAGELLO"));
    if (value.isEmpty())
        return environment.programDirectory() + QStringLiteral("/tisk");
    // Relative to the directory the program was started in; "." and ".." resolved.
    QString path = QDir::cleanPath(QDir(environment.startupDirectory()).absoluteFilePath(value));
    if (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path;
}

QString TForm1::ResolveSpoolDir() const
{
    return resolveSpoolDir(m_platform.environment);
}

void TForm1::Timer2Timer()
{
    if (FindTitledWindow())
        Timer2->stop();
}

bool TForm1::FindTitledWindow()
{
    if (m_arguments.size() >= 2 && !m_arguments[1].isEmpty())
        SearchTitle = m_arguments[1].left(kSearchTitleLength);
    bool found = false;
    for (const WindowHandle window : m_platform.windows.topLevelWindows()) {
        if (!EnumTitledWindowProc(window, found))
            break;
    }
    return found;
}

bool TForm1::EnumTitledWindowProc(WindowHandle window, bool& found)
{
    using namespace WindowMessages;
    IWindowManager& windows = m_platform.windows;
    const std::int64_t process = windows.windowProcessId(window);
    // No more is read of a title than is looked through: another program's title may be
    // megabytes long, and it is read twice a second.
    const QString title = windows.windowTitle(window, kWindowTitleLength);
    if (title.isEmpty() || !title.contains(SearchTitle, Qt::CaseSensitive))
        return true;
    windows.sendMessage(window, WM_ACTIVATEAPP, 1, static_cast<std::intptr_t>(process));
    windows.sendMessage(window, WM_SYSCOMMAND, SC_HOTKEY, static_cast<std::intptr_t>(window));
    windows.sendMessage(window, WM_SYSCOMMAND, SC_RESTORE, static_cast<std::intptr_t>(window));
    windows.setForegroundWindow(window);
    found = true;
    return false;
}

void TForm1::WMQueueQuit()
{
    m_quitRequested = true;
    do
        m_platform.engine.application.processMessages();
    while (Busy);
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
}

void TForm1::EndSession()
{
    // Nobody may be at the screen any more: a failure at exit goes to standard error only.
    m_ending = true;
    m_quitRequested = true;
    QCoreApplication::postEvent(this, new QEvent(WM_QUEUEQUIT));
}

void TForm1::WMQueueShow()
{
    // As a click on the tray icon, and then the window itself is made the active one: the
    // application's own window is never mapped.
    FormRestore();
    IWindowManager& windows = m_platform.windows;
    windows.setForegroundWindow(windows.handleOf(*this));
}

void TForm1::WMQueueChanged()
{
    ScanQueue();
    UpdateStatus();
}

void TForm1::ScanQueue()
{
    MergeQueue(listSpoolFiles(SpoolDir));
    UpdateStatus();
}

void TForm1::MergeQueue(const QByteArrayList& names)
{
    // The selection survives a rescan that keeps its entry.
    const int selected = selectedRow();
    const QByteArray name = selected >= 0 ? m_queue->entry(selected).name : QByteArray();
    m_queue->merge(names);
    if (!name.isEmpty()) {
        const int row = m_queue->find(name);
        if (row >= 0 && row != selectedRow())
            selectRow(row);
    }
    // What is remembered of files no longer listed goes with them, also of a name whose
    // entry now goes by other letters.
    const auto listed = [this](const QByteArray& path) {
        const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
        const int row = m_queue->find(name);
        return row >= 0 && m_queue->entry(row).name == name;
    };
    erase_if(m_looks, [&](auto it) { return !listed(it.key()); });
    erase_if(m_refused, [&](auto it) { return !listed(it.key()); });
    pruneJournal();
}

void TForm1::pruneJournal()
{
    // Only a file that is gone takes its note with it: a printed file that cannot be deleted
    // stays known however many there are. Each listed file has one note at most, so the
    // journal holds notes of files that are gone once it has more than the list; looking at
    // every listed file is paid for by the at least as many notes it then forgets.
    if (!m_journal || m_journal->size() <= 2 * std::size_t(m_queue->count()) + 64)
        return;
    std::unordered_set<FileIdentity, FileIdentityHash> present;
    for (int row = 0; row < m_queue->count(); ++row) {
        if (const std::optional<FileIdentity> file = m_platform.files.identify(entryPath(row)))
            present.insert(*file);
    }
    // The document being printed keeps its note whatever its name is now.
    if (m_document.isOpen())
        present.insert(m_document.identity());
    m_journal->retainOnly([&](const FileIdentity& file) { return present.contains(file); });
}

void TForm1::reportJournal()
{
    const QString error = m_journal ? m_journal->error() : QString();
    if (error == m_journalError)
        return;
    m_journalError = error;
    if (!error.isEmpty())
        std::fprintf(stderr, "pagello: %s\n", qPrintable(error));
    else
        std::fprintf(stderr, "pagello: the print journal is written again\n");
    UpdateStatus();
}

void TForm1::UpdateStatus()
{
    QString printer;
    const IPrinters& printers = m_platform.engine.printers;
    const QStringList names = printers.printerNames();
    const int index = printers.printerIndex();
    if (index >= 0 && index < names.size())
        printer = names[index];
    if (!m_journalError.isEmpty())
        m_panels[0]->setText(kJournalFault);
    else
        m_panels[0]->setText(m_queue->count() > 0 ? kQueued.arg(m_queue->count()) : printer);
    m_panels[0]->setToolTip(m_journalError);
    m_panels[1]->setText(!PrintingActive ? QString() : Busy ? kPrinting : kIdle);
}

void TForm1::Timer1Timer()
{
    if (Timer1->interval() != kTickMs)
        Timer1->setInterval(kTickMs);
    UpdateStatus();
    // A tick during a pass's message processing does not start a second pass, and while
    // an error box is open a lasting fault is not met again every second.
    if (!PrintingActive || Busy || m_queue->count() == 0 || m_inPass || m_errorBoxes > 0 || m_ending)
        return;
    m_inPass = true;
    try {
        printPass();
    } catch (...) {
        m_inPass = false;
        throw;
    }
    m_inPass = false;
    reportJournal();
    // Passes go on while such a box is open: each refused document is shown once. At the
    // end of the session no box holds the end.
    while (!m_refusals.isEmpty() && !m_ending)
        m_platform.engine.application.showException(EDocumentError(m_refusals.takeFirst().toStdString()));
}

void TForm1::printPass()
{
    IApplication& app = m_platform.engine.application;
    m_onShare = !m_platform.notifications.isLocalDisk(SpoolDir);
    int i = 0;
    while (i < m_queue->count()) {
        if (!PrintingActive || m_ending)
            return;
        UpdateStatus();
        app.processMessages();
        if (i >= m_queue->count() || m_ending)
            return;
        const QByteArray path = entryPath(i);
        if (refusedBefore(path)) {
            ++i;
            continue;
        }
        m_queue->setState(i, kPrinting);
        // A job processes no messages, so the entry is still at i when it returns.
        bool done = false;
        try {
            done = PrintFile(path);
        } catch (const EDocumentError& e) {
            // The document itself cannot be printed: it is marked and kept as it was
            // opened, and not tried again until it changes. The error is shown once the
            // pass is over, so the queue goes on also while nobody has closed the box.
            m_refused.insert(path, m_document.identity());
            m_queue->setState(i, kRefused);
            ++i;
            m_refusals << QStringLiteral("%1: %2").arg(DocName, QString::fromStdString(e.what()));
            continue;
        } catch (const EJournalError&) {
            // Without its note a batch could go out twice after a crash: the document waits,
            // and so does the rest of the queue, until the journal can be written again.
            m_queue->setState(i, QString());
            reportJournal();
            return;
        } catch (const EFileChanged&) {
            // Its writer rewrote it while it was read: it stays in the queue and is
            // printed whole as the new document once the writer is done with it.
            m_queue->setState(i, QString());
            ++i;
            continue;
        } catch (const SessionEnding&) {
            // The rest of the document is printed at the next start.
            m_queue->setState(i, QString());
            return;
        }
        if (!done) {
            m_queue->setState(i, kInUse);
            ++i;
        } else if (!printed(i)) {
            ++i;
        }
        app.processMessages();
        app.processMessages();
    }
}

bool TForm1::refusedBefore(const QByteArray& path)
{
    const auto it = m_refused.constFind(path);
    if (it == m_refused.constEnd())
        return false;
    if (m_platform.files.identify(path) == *it)
        return true;
    // It changed: a new document.
    m_refused.erase(it);
    return false;
}

bool TForm1::stillOnShare(const QByteArray& path, const FileIdentity& file)
{
    if (!m_onShare)
        return true;
    const qint64 now = Now();
    const auto it = m_looks.find(path);
    if (it == m_looks.end() || it->file != file) {
        m_looks.insert(path, Look{file, now});
        return false;
    }
    return now - it->since >= kSharePollMs;
}

bool TForm1::printed(int row)
{
    const QByteArray path = entryPath(row);
    const FileIdentity file = m_document.identity();
    switch (m_platform.files.removeIfUnchanged(path, m_document)) {
    case IFileAccess::RemoveStatus::Removed:
        m_journal->forget(file);
        m_looks.remove(path);
        m_queue->remove(row);
        return true;
    case IFileAccess::RemoveStatus::Gone:
        // Moved away during its job: the journal knows it was printed, so under its new
        // name it is only deleted.
        m_queue->remove(row);
        return true;
    case IFileAccess::RemoveStatus::Changed:
    case IFileAccess::RemoveStatus::InUse:
        // Rewritten, replaced or opened again meanwhile: a new document under the same
        // name, printed when it is complete.
        m_queue->setState(row, QString());
        return false;
    case IFileAccess::RemoveStatus::Failed:
        break;
    }
    // Deleting failed (a read-only directory, say): the entry stays, marked, and is not
    // printed again while the file is unchanged.
    m_queue->setState(row, kPrinted);
    return false;
}

void TForm1::Print1Click()
{
    const int row = selectedRow();
    if (Busy || row < 0)
        return;
    const QByteArray path = entryPath(row);
    // A paused queue has had no pass to look at the spool directory: a document on a
    // share must stay still for one poll here too.
    m_onShare = !m_platform.notifications.isLocalDisk(SpoolDir);
    m_queue->setState(row, kPrinting);
    bool done = false;
    try {
        // Asked for, a document printed before (its file could not be deleted) goes out again.
        done = PrintFile(path, true);
    } catch (const SessionEnding&) {
        m_queue->setState(row, QString());
        return;
    } catch (const EDocumentError& e) {
        // Marked and shown as in a pass.
        m_refused.insert(path, m_document.identity());
        m_queue->setState(row, kRefused);
        throw EDocumentError(QStringLiteral("%1: %2").arg(DocName, QString::fromStdString(e.what())).toStdString());
    } catch (...) {
        m_queue->setState(row, QString());
        throw;
    }
    if (done)
        printed(row);
    else
        m_queue->setState(row, kInUse);
}

void TForm1::Preview2Click()
{
    const int row = selectedRow();
    if (PrintingActive || row < 0)
        return;
    m_document.close();
    try {
        PrepareJob(entryPath(row));
    } catch (...) {
        m_document.close();
        throw;
    }
    m_document.close();
    PreviewPrinter->Preview();
}

bool TForm1::deleteSpoolFile(const QByteArray& path)
{
    // Linux lets a file be deleted while its writer still has it open; a document that is
    // still being written is not taken away from under it.
    IFileAccess::Opened opened = m_platform.files.openExclusive(path);
    return opened.status == IFileAccess::OpenStatus::Opened &&
           m_platform.files.removeIfUnchanged(path, opened.handle) == IFileAccess::RemoveStatus::Removed;
}

void TForm1::Delete1Click()
{
    const int row = selectedRow();
    if (row >= 0)
        deleteSpoolFile(entryPath(row));
}

void TForm1::EraseQueueClick()
{
    int i = 0;
    while (i < m_queue->count()) {
        if (deleteSpoolFile(entryPath(i)))
            m_queue->remove(i);
        else
            ++i;
    }
}

void TForm1::PausePrintingClick()
{
    ui->PausePrinting->setChecked(!ui->PausePrinting->isChecked());
    PrintingActive = !ui->PausePrinting->isChecked();
}

void TForm1::Exit1Click()
{
    close();
}

void TForm1::FormResize()
{
    const int w = ui->ListView1->viewport()->width();
    const int first = w < 120 ? 120 : w - 100;
    ui->ListView1->setColumnWidth(0, first);
    ui->ListView1->setColumnWidth(1, std::max(0, w - first));
    m_panels[0]->setFixedWidth(first);
}

void TForm1::ListView1MouseDown(Qt::MouseButton button, QPoint globalPosition)
{
    if (button == Qt::RightButton && selectedRow() >= 0)
        PopupMenu1->popup(globalPosition);
}

void TForm1::FormKeyDown(int key, Qt::KeyboardModifiers modifiers)
{
    if (key == Qt::Key_F12 && !(modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier)))
        Preview2Click();
}

bool answerInfoSwitch(const QStringList& arguments)
{
    const QString first = arguments.value(0);
    if (first == QLatin1String("--version")) {
        std::printf("pagello %s\n", PAGELLO_VERSION);
    } else if (first == QLatin1String("--help") || first == QLatin1String("-h")) {
        std::fputs(R"(Usage: pagello [/u | /a [TEXT]]

Prints the *.PRN files DOS programs leave in the spool directory: PAGELLO names it
(relative to the directory pagello is started in), "tisk" beside the program by default.

  /u            end the running spooler once the job under way is done
  /a [TEXT]     start, then hand the keyboard back to the first window whose title
                holds TEXT (DOVAZ260 by default)
  -h, --help    show this help
  --version     show the version
)",
                   stdout);
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

int runSpooler(const SpoolerPlatform& platform, const QStringList& arguments, bool endOnSignals)
{
    IApplication& app = platform.engine.application;
    app.setTitle(QStringLiteral("Pagello"));
    // A running spooler is known by its main window. A second start asks it to bring its
    // window to the front, so that a spooler without a tray icon can still be reached, and
    // ends without a word; "/u" asks it to quit instead.
    const WindowHandle other =
        FindWindowByName(platform.windows, QString::fromLatin1(kMainWindowClass), QStringLiteral("Pagello "));
    const QString first = arguments.isEmpty() ? QString() : arguments.first().toLower();
    const bool quit = first == QLatin1String("/u");
    const auto message = [](QEvent::Type request) { return WindowMessages::WM_USER + (request - QEvent::User); };
    if (other) {
        platform.windows.postMessage(other, message(quit ? WM_QUEUEQUIT : WM_QUEUESHOW), 0, 0);
        return 0;
    }
    // Without an X display (Qt on Wayland, or off screen) no window of the running spooler
    // is found: the requests go through the socket beside its lock.
    if (quit) {
        platform.environment.messageRunningSpooler(message(WM_QUEUEQUIT));
        return 0;
    }
    // Two starts at the same moment would both miss the other's window: only the one that
    // holds the lock runs, so that no file is printed twice.
    if (!platform.environment.lockSingleInstance()) {
        // A DOS program that starts the spooler with "/a" wants the keyboard back, not
        // the spooler's window in front of it.
        if (first != QLatin1String("/a"))
            platform.environment.messageRunningSpooler(message(WM_QUEUESHOW));
        return 0;
    }
    // Spoolers of other users, or on other machines sharing the directory, have windows of
    // their own and runtime directories of their own: the spool directory's own lock keeps
    // them from printing the same files and overwriting each other's journal.
    const QString spoolDir = resolveSpoolDir(platform.environment);
    if (!platform.environment.lockSpoolDirectory(spoolDir)) {
        std::fprintf(stderr, "%s: another spooler already serves %s\n", program_invocation_short_name,
                     QFile::encodeName(spoolDir).constData());
        return 0;
    }
    // The installed program has no "tisk" beside it in /usr/libexec/pagello: whoever started it
    // without PAGELLO learns which directory it watches. It is watched all the same, and
    // served once it is made.
    if (platform.environment.environmentVariable(QStringLiteral("PAGELLO")).isEmpty() && !QFileInfo(spoolDir).isDir())
        std::fprintf(stderr, "%s: the spool directory %s does not exist; PAGELLO names the directory to watch\n",
                     program_invocation_short_name, QFile::encodeName(spoolDir).constData());
    if (platform.engine.printers.printerNames().isEmpty()) {
        app.messageBox(QStringLiteral("Tiskový manager nenalezl v systému žádnou tiskárnu."), QStringLiteral("Pagello"),
                       IApplication::MessageIcon::Error);
        return 0;
    }
    // The window lives hidden in the tray, and error boxes come and go while it does: the
    // program ends when its window is closed, not when the last window shown is.
    QApplication::setQuitOnLastWindowClosed(false);
    // A signal met while the window is being made waits in the pipe.
    const int signalPipe = endOnSignals ? installEndSignals() : -1;
    TForm1 form(platform, arguments);
    // Later starts that find no window reach this one through the socket beside the lock;
    // their requests take the road of the window messages a second start posts on X.
    IWindowManager& windows = platform.windows;
    const QPointer<TForm1> target(&form);
    platform.environment.listenForLaterStarts([&windows, target, message](unsigned request) {
        if (target && (request == message(WM_QUEUEQUIT) || request == message(WM_QUEUESHOW)))
            windows.postMessage(windows.handleOf(*target), request, 0, 0);
    });
    std::unique_ptr<QSocketNotifier> ending;
    if (signalPipe >= 0) {
        ending = std::make_unique<QSocketNotifier>(signalPipe, QSocketNotifier::Read);
        QObject::connect(ending.get(), &QSocketNotifier::activated, &form, [&form, signalPipe] {
            char bytes[16];
            while (::read(signalPipe, bytes, sizeof bytes) > 0) {
            }
            form.EndSession();
        });
    }
    return QApplication::exec();
}
