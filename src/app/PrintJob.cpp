// Turning one spool file into printer jobs, or into recorded pages for the preview.

#include "Journal.h"
#include "Main.h"
#include "Queue.h"

#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/IPrinters.h"
#include "platform/IProcessEnvironment.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <utility>

namespace {

// A print server keeps at most this many bytes (UTF-8) of a job's title; a longer one is
// not shortened there but thrown away.
constexpr qsizetype kMaxTitleBytes = 255;

// "Pagello : NAME  FIRST-LAST", the name put in as it is (a file name may hold anything,
// "%1" too). Control characters become spaces, so that the title stays one line, and a
// name too long for the title is shortened at a character: the prefix and the page range
// always stay.
QString jobTitle(const QString& docName, int first, int last)
{
    const QString prefix = QStringLiteral("Pagello : ");
    const QString range = QStringLiteral("  ") + QString::number(first) + QLatin1Char('-') + QString::number(last);
    qsizetype room = kMaxTitleBytes - prefix.toUtf8().size() - range.toUtf8().size();
    QString title = prefix;
    title.reserve(prefix.size() + std::min(docName.size(), room) + range.size());
    for (qsizetype i = 0; i < docName.size();) {
        const bool pair = docName[i].isHighSurrogate() && i + 1 < docName.size() && docName[i + 1].isLowSurrogate();
        const char32_t c = pair ? QChar::surrogateToUcs4(docName[i], docName[i + 1]) : docName[i].unicode();
        const qsizetype bytes = c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4;
        if (bytes > room)
            break;
        room -= bytes;
        const QChar::Category category = QChar::category(c);
        if (category == QChar::Other_Control || category == QChar::Separator_Line ||
            category == QChar::Separator_Paragraph)
            title += QLatin1Char(' ');
        else
            title += QStringView(docName).mid(i, pair ? 2 : 1);
        i += pair ? 2 : 1;
    }
    return title + range;
}

// The printer a document's pages are laid out for: its name, the sheet and the resolution.
QString deviceOf(const TPreviewPrinter& engine, const IPrinters& printers)
{
    const QStringList names = printers.printerNames();
    const int index = printers.printerIndex();
    return QStringLiteral("%1 %2x%3 %4x%5 %6,%7")
        .arg(index >= 0 && index < names.size() ? names[index] : QString())
        .arg(engine.PageWidth())
        .arg(engine.PageHeight())
        .arg(engine.PixelsPerInchX())
        .arg(engine.PixelsPerInchY())
        .arg(engine.PageOffsetX())
        .arg(engine.PageOffsetY());
}

QByteArray fileName(const QByteArray& path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

} // namespace

bool TForm1::PrintFile(const QByteArray& path, bool again)
{
    Busy = true;
    // The file is opened once: it is read, identified and in the end deleted through
    // this handle, so a file put in its place meanwhile is never printed or deleted.
    IFileAccess::Opened opened = m_platform.files.openExclusive(path);
    m_document = std::move(opened.handle);
    if (opened.status != IFileAccess::OpenStatus::Opened || !stillOnShare(path, m_document.identity())) {
        m_document.close();
        Busy = false;
        return false;
    }
    // An empty file has nothing to print, and a document the printer has had whole (it
    // could not be deleted, or was renamed during its job) is not sent again unless asked
    // for: either is only deleted.
    const FileIdentity file = m_document.identity();
    if (file.size == 0 || (m_journal->finished(file) && !again)) {
        Busy = false;
        return true;
    }
    if (again && m_journal->finished(file))
        m_journal->forget(file); // each of its pages goes out again
    UpdateStatus();
    PreviewPrinter->OnNewPage = [this](TPreviewPrinter& sender, int page) { PreviewPrinterNewPage(sender, page); };
    const auto reset = [this] {
        Busy = false;
        PreviewPrinter->OnNewPage = nullptr;
        for (const QEvent::Type type : std::exchange(m_afterDocument, {}))
            QCoreApplication::postEvent(this, new QEvent(type));
    };
    try {
        PrepareJob(path);
        // Text that lays out to no page at all is not sent as an empty job.
        if (PreviewPrinter->PageCount() > 0)
            printBatch(*PreviewPrinter, FirstPage);
        m_journal->recordFinished(file);
    } catch (...) {
        reset();
        m_document.close();
        throw;
    }
    reset();
    return true;
}

void TForm1::printBatch(TPreviewPrinter& engine, int firstPage)
{
    const int last = firstPage + engine.PageCount() - 1;
    const FileIdentity& file = m_document.identity();
    m_journal->useDevice(file, deviceOf(engine, m_platform.engine.printers));
    settleSending(file);
    // Pages the printer accepted before (the file was tried again after a later batch
    // failed, or the program ended during the job) are not sent again.
    const int from = std::max(0, m_journal->lastPage(file) - firstPage + 1);
    if (from >= engine.PageCount())
        return;
    if (from > 0)
        engine.Title = jobTitle(DocName, firstPage + from, last);
    // Noted before the job exists: should the program end after the printer took the job
    // but before its acceptance is noted, the next start asks the printer for it.
    m_journal->recordSending(file, {last, QDateTime::currentSecsSinceEpoch(), engine.Title});
    engine.PrintRange(from, engine.PageCount() - 1);
    m_journal->recordBatch(file, last);
}

void TForm1::settleSending(const FileIdentity& file)
{
    const std::optional<TPrintJournal::Sending> sending = m_journal->sending(file);
    if (!sending || sending->lastPage <= m_journal->lastPage(file))
        return;
    // The printer is asked once: found or not, the note is settled by what follows.
    if (m_platform.engine.printers.jobCreatedSince(sending->title, sending->since))
        m_journal->recordBatch(file, sending->lastPage);
    else
        m_journal->dropSending(file);
}

void TForm1::PrepareJob(const QByteArray& path)
{
    const QString logo = m_platform.environment.programDirectory() + QStringLiteral("/logo.bmp");
    LoadText(path);
    TPreviewPrinter& engine = *PreviewPrinter;
    engine.setUnits(unInches);
    DocName = TQueueModel::displayName(fileName(path));
    FirstPage = 1;
    engine.Logo.clear();
    if (DocText->hasText() && QFileInfo::exists(logo))
        engine.Logo = logo;
    // The file is read as the layout goes, so a long document is never held whole; the
    // reader goes as soon as it is laid out, also when that fails.
    const std::unique_ptr<SpoolFileText> text = std::move(DocText);
    engine.Render(*text, m_emulationInUse);
    engine.Title = jobTitle(DocName, FirstPage, engine.PageCount() + FirstPage - 1);
}

void TForm1::LoadText(const QByteArray& path)
{
    const QString name = TQueueModel::displayName(path);
    if (!m_document.isOpen()) {
        // The preview opens the file itself, without sharing, as a job does: a document
        // still being written is not shown half done.
        IFileAccess::Opened opened = m_platform.files.openExclusive(path);
        if (opened.status != IFileAccess::OpenStatus::Opened)
            throw EFileError(QStringLiteral("Cannot open file \"%1\". %2")
                                 .arg(name, opened.status == IFileAccess::OpenStatus::InUse
                                                ? QStringLiteral("The file is being used by another process")
                                                : QStringLiteral("It is missing or not a regular file"))
                                 .toStdString());
        m_document = std::move(opened.handle);
    }
    // For the command table NUL bytes become 255; the document ends after the first
    // carriage return followed by 255, and a file without that mark is taken whole.
    DocText = std::make_unique<SpoolFileText>(m_document.fd(), name);
    // The emulation in force when the document is read is the one it is laid out in.
    m_emulationInUse = Emulation;
    if (emulationReadsBinary(m_emulationInUse))
        DocText->keepBinary();
    DocText->requireUnchanged(m_document.identity());
}

void TForm1::PreviewPrinterNewPage(TPreviewPrinter& Sender, int Page)
{
    // When page 1 begins nothing has been drawn yet: there is no batch to send.
    if (Page <= 1)
        return;
    const int batch = std::max(1, PagesSpool);
    if (Sender.PageCount() < batch)
        return;
    Sender.CloseCanvas();
    Sender.Title = jobTitle(DocName, Page - Sender.PageCount(), Page - 1);
    FirstPage = Page;
    printBatch(Sender, Page - Sender.PageCount());
    Sender.Clear();
    // A long document takes a while: its window still paints and answers meanwhile.
    m_platform.engine.application.processSystemMessages();
    // The session ended meanwhile: the document stops after the batch sent.
    if (m_ending)
        throw SessionEnding();
}
