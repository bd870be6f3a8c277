#include "LinuxPlatform.h"

#include "../Errors.h"
#include "../pdf/PdfDocument.h"
#include "OutputFile.h"

#include <QDir>
#include <QFile>
#include <QPageLayout>
#include <QPageSize>
#include <QPrintDialog>
#include <QPrintEngine>
#include <QPrinter>
#include <QPrinterInfo>
#include <QTemporaryFile>

#include <cups/cups.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

[[noreturn]] void fail(const QString& message)
{
    throw EPrinterError(message.toStdString());
}

QStringList installedPrinters()
{
    QStringList names;
    const QList<QPrinterInfo> printers = QPrinterInfo::availablePrinters();
    for (const QPrinterInfo& info : printers)
        names << info.printerName();
    // Qt's list does not tell an empty print server from one it could not reach: CUPS is
    // asked once more, and what kept it from answering goes to standard error for whoever
    // looks after the machine. A server without queues answers "not found".
    if (names.isEmpty()) {
        cups_dest_t* dests = nullptr;
        const int count = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
        const ipp_status_t status = cupsLastError();
        if (count == 0 && status > IPP_STATUS_OK_EVENTS_COMPLETE && status != IPP_STATUS_ERROR_NOT_FOUND)
            std::fprintf(stderr, "%s: the print server %s gave no printers: %s\n", program_invocation_short_name,
                         cupsServer(), cupsLastErrorString());
        cupsFreeDests(count, dests);
    }
    return names;
}

// Whether the print server (the desktop's own, or the central one that CUPS_SERVER or
// client.conf names) takes a connection now.
bool serverAnswers()
{
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 5000, nullptr);
    if (!http)
        return false;
    httpClose(http);
    return true;
}

// A queue that is not found: on a print server that does not answer, what the user must
// learn is that the server is away, not that the printer is gone.
[[noreturn]] void failNotInstalled(const QString& name)
{
    if (!serverAnswers()) {
        // CUPS keeps the port apart from the name; a local socket has none.
        QString server = QString::fromUtf8(cupsServer());
        if (!server.startsWith(QLatin1Char('/')))
            server += QStringLiteral(":%1").arg(ippPort());
        fail(QStringLiteral("The print server %1 cannot be reached; the printer '%2' waits for it").arg(server, name));
    }
    fail(QStringLiteral("The printer '%1' is not installed").arg(name));
}

// The system's default printer; when none is set but printers are installed, the first
// one, so that a desktop with a single unmarked queue still prints.
int defaultIndex(const QStringList& names)
{
    if (names.isEmpty())
        return -1;
    const int index = static_cast<int>(names.indexOf(QPrinterInfo::defaultPrinterName()));
    return index >= 0 ? index : 0;
}

// Whether CUPS still has the queue (or instance "queue/instance"): one request to the
// scheduler, where Qt's printer list asks for every queue and its driver.
bool queueInstalled(const QString& name)
{
    const QByteArray queue = name.section(QLatin1Char('/'), 0, 0).toUtf8();
    const QByteArray instance = name.section(QLatin1Char('/'), 1).toUtf8();
    cups_dest_t* dest =
        cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue.constData(), instance.isEmpty() ? nullptr : instance.constData());
    if (!dest)
        return false;
    cupsFreeDests(1, dest);
    return true;
}

// Orientation first, then the margins: the printable margins the CUPS engine reports
// depend on the orientation, and are only recomputed when the page size is set again.
// The printable area then starts at the hardware margins, not at Qt's default 10 pt.
void applyLayout(QPrinter& printer, TPrinterOrientation orientation)
{
    printer.setPageOrientation(orientation == poLandscape ? QPageLayout::Landscape : QPageLayout::Portrait);
    printer.setPageSize(printer.pageLayout().pageSize());
    const QPageLayout layout = printer.pageLayout();
    printer.setPageMargins(layout.minimumMargins(), layout.units());
}

// Where the print dialog leaves the job options it collected for CUPS.
const QPrintEngine::PrintEnginePropertyKey kCupsOptions = QPrintEngine::PrintEnginePropertyKey(0xfe00);

// The sides chosen for the printer (its queue's default until the dialog changes them),
// as CUPS names them.
const char* sides(const QPrinter& printer)
{
    switch (printer.duplex()) {
    case QPrinter::DuplexNone:
        break;
    case QPrinter::DuplexAuto:
        return printer.pageLayout().orientation() == QPageLayout::Landscape ? "two-sided-short-edge"
                                                                            : "two-sided-long-edge";
    case QPrinter::DuplexLongSide:
        return "two-sided-long-edge";
    case QPrinter::DuplexShortSide:
        return "two-sided-short-edge";
    }
    return "one-sided";
}

// Hands the document to CUPS as one job on the printer's queue, and raises unless CUPS
// took it: the caller may throw its own copy away once this returns.
//
// Options: the paper the document was drawn for, one copy (further copies are jobs of
// their own) and the sides chosen for the printer. The orientation is not sent: the
// pages already have the shape of the sheet, and CUPS turns a landscape page onto the
// paper by itself; asking for "landscape" as well makes some filters turn it again.
void submit(QPrinter& printer, const QString& name, const QString& file, const QString& title)
{
    cups_option_t* options = nullptr;
    int count = 0;
    // The job options the user chose in the print dialog (pages per sheet, odd or even
    // sheets, tray, driver options), which the dialog keeps on the printer as key/value
    // pairs. The range is left out: the pages of the range are the ones drawn.
    const QStringList chosen = printer.printEngine()->property(kCupsOptions).toStringList();
    for (qsizetype i = 0; i + 1 < chosen.size(); i += 2) {
        const QString& key = chosen[i];
        if (key == QLatin1String("page-ranges") || key == QLatin1String("landscape") ||
            key == QLatin1String("orientation-requested"))
            continue;
        count = cupsAddOption(key.toUtf8().constData(), chosen[i + 1].toUtf8().constData(), count, &options);
    }
    const QByteArray media = printer.pageLayout().pageSize().key().toUtf8();
    if (!media.isEmpty())
        count = cupsAddOption("media", media.constData(), count, &options);
    count = cupsAddOption("copies", "1", count, &options);
    count = cupsAddOption("sides", sides(printer), count, &options);

    // An instance ("queue/instance") prints on its queue.
    const QByteArray queue = name.section(QLatin1Char('/'), 0, 0).toUtf8();
    const QByteArray path = QFile::encodeName(file);
    const QByteArray jobName = title.toUtf8();
    // CUPS_HTTP_DEFAULT: the scheduler of the desktop, or the one CUPS_SERVER names.
    const int job = cupsPrintFile2(CUPS_HTTP_DEFAULT, queue.constData(), path.constData(),
                                   jobName.isEmpty() ? nullptr : jobName.constData(), count, options);
    cupsFreeOptions(count, options);
    if (job == 0)
        fail(QStringLiteral("The printer '%1' did not accept the print job: %2")
                 .arg(name, QString::fromUtf8(cupsLastErrorString())));
}

} // namespace

QtPrinters::QtPrinters(IFonts& fonts)
    : m_fonts(fonts)
    , m_names(installedPrinters())
    , m_index(defaultIndex(m_names))
{}

QtPrinters::~QtPrinters()
{
    abortDoc();
}

QStringList QtPrinters::printerNames() const
{
    return m_names;
}

void QtPrinters::setPrinterIndex(int index)
{
    if (index < -1 || index >= m_names.size())
        fail(QStringLiteral("Printer index out of range"));
    if (index == -1)
        index = defaultIndex(m_names);
    if (index == m_index)
        return;
    if (printing())
        fail(QStringLiteral("Printing in progress"));
    m_index = index;
    m_printer.reset();
    m_metricsValid = false;
}

void QtPrinters::setOrientation(TPrinterOrientation orientation)
{
    if (orientation == m_orientation)
        return;
    if (printing())
        fail(QStringLiteral("Printing in progress"));
    m_orientation = orientation;
    m_metricsValid = false;
    if (m_printer)
        applyLayout(*m_printer, m_orientation);
}

QPrinter& QtPrinters::current()
{
    if (m_index < 0 || m_index >= m_names.size())
        fail(QStringLiteral("There is no default printer currently selected"));
    if (!m_printer) {
        const QString name = m_names[m_index];
        // QPrinter quietly takes the default printer for a name it does not know.
        const QPrinterInfo info = QPrinterInfo::printerInfo(name);
        if (info.isNull())
            failNotInstalled(name);
        auto printer = std::make_unique<QPrinter>(info, QPrinter::HighResolution);
        // QPrinter keeps Qt's own default paper (A4) for every queue; the sheet is the
        // one the queue is loaded with (its default size, or the user's media choice).
        const QPageSize paper = info.defaultPageSize();
        if (paper.isValid())
            printer->setPageSize(paper);
        printer->setFullPage(false);
        applyLayout(*printer, m_orientation);
        m_printer = std::move(printer);
        m_metricsValid = false;
    }
    return *m_printer;
}

QPrinter& QtPrinters::qprinter()
{
    return current();
}

void QtPrinters::adoptDialogPrinter()
{
    if (!m_printer)
        return;
    const QString chosen = m_printer->printerName();
    int index = static_cast<int>(m_names.indexOf(chosen));
    if (index < 0) {
        // A queue added since start-up is offered by the dialog too.
        m_names = installedPrinters();
        index = static_cast<int>(m_names.indexOf(chosen));
    }
    if (index < 0) {
        m_printer.reset();
        m_metricsValid = false;
        fail(QStringLiteral("The printer '%1' is not installed").arg(chosen));
    }
    m_index = index;
    m_orientation = m_printer->pageLayout().orientation() == QPageLayout::Landscape ? poLandscape : poPortrait;
    // The dialog may have changed the paper; its printable area starts at the new sheet's
    // hardware margins.
    applyLayout(*m_printer, m_orientation);
    m_metricsValid = false;
}

DeviceMetrics QtPrinters::deviceMetrics()
{
    QPrinter& printer = current();
    if (m_metricsValid)
        return m_metrics;
    const int dpi = printer.resolution();
    const QRectF paper = printer.paperRect(QPrinter::DevicePixel);
    const QRectF page = printer.pageRect(QPrinter::DevicePixel);
    DeviceMetrics m;
    m.logPixelsX = dpi;
    m.logPixelsY = dpi;
    m.physicalWidth = qRound(paper.width());
    m.physicalHeight = qRound(paper.height());
    m.physicalOffsetX = qRound(page.left() - paper.left());
    m.physicalOffsetY = qRound(page.top() - paper.top());
    m_metrics = m;
    m_metricsValid = true;
    return m;
}

void QtPrinters::beginDoc()
{
    if (printing())
        fail(QStringLiteral("Printing in progress"));
    QPrinter& printer = current();
    const QString name = m_names[m_index];
    // The queue may have been removed since the printer object was made.
    if (!queueInstalled(name))
        failNotInstalled(name);
    const DeviceMetrics m = deviceMetrics();

    auto document = std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/pagello-job-XXXXXX.pdf"));
    if (!document->open())
        fail(QStringLiteral("Cannot create the print job for the printer '%1': %2").arg(name, document->errorString()));
    // Every write is checked: a job with a hole in it must never reach the printer.
    auto output = std::make_unique<CheckedWrites>(*document);
    // The whole sheet of the printer's paper, in the printer's resolution.
    const QSizeF sheet = printer.pageLayout().fullRect(QPageLayout::Point).size();
    if (sheet.isEmpty())
        fail(QStringLiteral("Cannot start a print job on the printer '%1': its paper is not valid").arg(name));
    auto pdf = std::make_unique<PdfDocument>(*output, m_fonts);
    pdf->setTitle(m_title);
    pdf->setCreator(QStringLiteral("Pagello"));
    m_sheet = sheet;
    m_dpi = printer.resolution();
    // Pages are drawn from the corner of the printable area, as on the printer itself.
    m_printable = QPoint(m.physicalOffsetX, m.physicalOffsetY);
    pdf->beginPage(m_sheet, m_dpi, m_dpi);
    m_document = std::move(document);
    m_output = std::move(output);
    m_pdf = std::move(pdf);
}

void QtPrinters::newPage()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    m_pdf->beginPage(m_sheet, m_dpi, m_dpi);
}

void QtPrinters::endDoc()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    const QString name = m_names[m_index];
    const std::unique_ptr<PdfDocument> pdf = std::move(m_pdf);
    const bool written = pdf->finish();
    // The document is removed when this function returns, sent or not.
    const std::unique_ptr<QTemporaryFile> document = std::move(m_document);
    const std::unique_ptr<CheckedWrites> output = std::move(m_output);
    const QString file = document->fileName();
    const auto failedToWrite = [&](const QString& reason) {
        fail(QStringLiteral("Cannot write the print job for the printer '%1' into '%2': %3").arg(name, file, reason));
    };
    if (!written)
        failedToWrite(pdf->errorString());
    if (!output->finish())
        failedToWrite(output->errorString());
    document->close();
    if (document->error() != QFileDevice::NoError)
        failedToWrite(document->errorString());
    submit(*m_printer, name, file, m_title);
}

void QtPrinters::abortDoc()
{
    if (!printing())
        return;
    // Nothing has reached CUPS yet: the half-drawn document is simply dropped.
    m_pdf.reset();
    m_output.reset();
    m_document.reset();
}

void QtPrinters::drawPage(const TMetafile& page, QPoint offset)
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    m_pdf->drawPage(page, m_printable + offset);
}

bool QtPrinters::jobCreatedSince(const QString& title, qint64 since)
{
    cups_job_t* jobs = nullptr;
    // This user's jobs on every queue: the scheduler keeps finished jobs in its history. A
    // cancelled job is not one the printer took: a document that cannot be sent whole is
    // cancelled by the library.
    const int count = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, nullptr, 1, CUPS_WHICHJOBS_ALL);
    if (count < 0)
        fail(QStringLiteral("Cannot ask the print system for its jobs: %1")
                 .arg(QString::fromUtf8(cupsLastErrorString())));
    const QByteArray name = title.toUtf8();
    bool found = false;
    for (int i = 0; i < count && !found; ++i)
        found = jobs[i].title && name == jobs[i].title && jobs[i].creation_time >= since &&
                jobs[i].state != IPP_JSTATE_CANCELED;
    cupsFreeJobs(count, jobs);
    return found;
}

std::optional<PrintDialogChoice> QtPrintDialog::execute(const PrintDialogOptions& options)
{
    QPrinter& printer = m_printers.qprinter();
    QPrintDialog dialog(&printer);
    dialog.setOptions(options.pageNumbersEnabled ? QAbstractPrintDialog::PrintPageRange
                                                 : QAbstractPrintDialog::PrintDialogOptions());
    dialog.setMinMax(options.minPage, options.maxPage);
    dialog.setFromTo(options.fromPage, options.toPage);
    dialog.setPrintRange(QAbstractPrintDialog::AllPages);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;

    PrintDialogChoice choice;
    choice.allPages = dialog.printRange() != QAbstractPrintDialog::PageRange;
    choice.fromPage = choice.allPages ? options.fromPage : dialog.fromPage();
    choice.toPage = choice.allPages ? options.toPage : dialog.toPage();
    choice.copies = std::max(1, printer.copyCount());
    // Each copy is printed as a job of its own, and the range is drawn by us: left on the
    // printer, the system would pick those pages out of every later job again.
    printer.setCopyCount(1);
    printer.setPrintRange(QPrinter::AllPages);
    printer.setFromTo(0, 0);
    m_printers.adoptDialogPrinter();
    return choice;
}
