// Turning one spool file into printer jobs, or into recorded pages for the preview.

#include "Main.h"

#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/IFileAccess.h"
#include "platform/IProcessEnvironment.h"

#include <QFileInfo>

#include <algorithm>

namespace {

QString jobTitle(const QString& docName, int first, int last)
{
    return QStringLiteral("Pagello : %1  %2-%3").arg(docName).arg(first).arg(last);
}

} // namespace

bool TForm1::PrintFile(const QString& path)
{
    Busy = true;
    // A file its writer still holds is not complete; an empty one has nothing to print
    // yet. Either waits for a later attempt.
    if (!m_platform.files.openExclusive(path) || QFileInfo(path).size() == 0) {
        Busy = false;
        return false;
    }
    UpdateStatus();
    PreviewPrinter->OnNewPage = [this](TPreviewPrinter& sender, int page) { PreviewPrinterNewPage(sender, page); };
    const auto reset = [this] {
        Busy = false;
        PreviewPrinter->OnNewPage = nullptr;
    };
    try {
        PrepareJob(path);
        // Text that lays out to no page at all is not sent as an empty job.
        if (PreviewPrinter->PageCount() > 0)
            PreviewPrinter->Print();
    } catch (...) {
        reset();
        throw;
    }
    reset();
    return true;
}

void TForm1::PrepareJob(const QString& path)
{
    const QString logo = m_platform.environment.programDirectory() + QStringLiteral("/logo.bmp");
    LoadText(path);
    TPreviewPrinter& engine = *PreviewPrinter;
    engine.setUnits(unInches);
    DocName = QFileInfo(path).fileName();
    FirstPage = 1;
    engine.Logo.clear();
    if (DocText->hasText() && QFileInfo::exists(logo))
        engine.Logo = logo;
    // The file is read as the layout goes, so a long document is never held whole; it is
    // closed as soon as it is laid out, also when that fails.
    const std::unique_ptr<SpoolFileText> text = std::move(DocText);
    engine.RenderText(*text);
    engine.Title = jobTitle(DocName, FirstPage, engine.PageCount() + FirstPage - 1);
}

void TForm1::LoadText(const QString& path)
{
    // NUL bytes become 255; the document ends after the first carriage return followed
    // by 255, and a file without that mark is taken whole.
    DocText = std::make_unique<SpoolFileText>(path);
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
    Sender.Print();
    Sender.Clear();
}
