#include "LinuxPlatform.h"

#include "../Errors.h"
#include "../Replay.h"
#include "OutputFile.h"

#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <utility>

namespace {

[[noreturn]] void fail(const QString& message)
{
    throw EPrinterError(message.toStdString());
}

} // namespace

PdfFilePrinter::PdfFilePrinter(const DeviceMetrics& metrics, const QString& outputFile, const IFonts& fonts)
    : m_metrics(metrics)
    , m_outputFile(outputFile)
    , m_fonts(fonts)
{}

PdfFilePrinter::~PdfFilePrinter()
{
    abortDoc();
}

void PdfFilePrinter::setPrinterIndex(int index)
{
    if (index != 0 && index != -1)
        fail(QStringLiteral("Printer index out of range"));
}

DeviceMetrics PdfFilePrinter::deviceMetrics()
{
    DeviceMetrics m = m_metrics;
    if (m_orientation == poLandscape) {
        std::swap(m.logPixelsX, m.logPixelsY);
        std::swap(m.physicalWidth, m.physicalHeight);
        std::swap(m.physicalOffsetX, m.physicalOffsetY);
    }
    if (printing()) {
        m.physicalOffsetX = 0;
        m.physicalOffsetY = 0;
    }
    return m;
}

void PdfFilePrinter::beginDoc()
{
    if (printing())
        fail(QStringLiteral("Printing in progress"));
    if (m_outputFile.isEmpty())
        fail(QStringLiteral("No PDF file was named for the output"));
    const DeviceMetrics m = deviceMetrics();
    if (m.logPixelsX <= 0 || m.logPixelsY <= 0 || m.physicalWidth <= 0 || m.physicalHeight <= 0)
        fail(QStringLiteral("The device has no sheet to print on"));

    auto output = std::make_unique<OutputFile>(m_outputFile);
    QIODevice* device = output->open();
    if (!device)
        fail(QStringLiteral("Cannot write the PDF file '%1': %2").arg(m_outputFile, output->errorString()));
    // A PDF page has one resolution, the vertical one here; the sheet is as wide as the
    // device's own horizontal resolution makes it, and the painter scales the horizontal
    // pixels to match.
    auto writer = std::make_unique<QPdfWriter>(device);
    writer->setResolution(m.logPixelsY);
    const QSizeF sheet(m.physicalWidth * 72.0 / m.logPixelsX, m.physicalHeight * 72.0 / m.logPixelsY);
    // An exact match keeps the device's sheet even when it is close to a standard size.
    writer->setPageSize(QPageSize(sheet, QPageSize::Point, QString(), QPageSize::ExactMatch));
    writer->setPageMargins(QMarginsF(0, 0, 0, 0), QPageLayout::Point);
    writer->setTitle(m_title);
    writer->setCreator(QStringLiteral("Pagello"));

    auto painter = std::make_unique<QPainter>();
    if (!painter->begin(writer.get()))
        fail(QStringLiteral("Cannot write the PDF file '%1'").arg(m_outputFile));
    if (m.logPixelsX != m.logPixelsY)
        painter->scale(static_cast<qreal>(m.logPixelsY) / m.logPixelsX, 1.0);
    m_output = std::move(output);
    m_writer = std::move(writer);
    m_painter = std::move(painter);
}

void PdfFilePrinter::newPage()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    if (!m_writer->newPage())
        fail(QStringLiteral("Cannot add a page to the PDF file '%1'").arg(m_outputFile));
}

void PdfFilePrinter::endDoc()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    const bool ended = m_painter->end();
    m_painter.reset();
    m_writer.reset();
    const std::unique_ptr<OutputFile> output = std::move(m_output);
    if (!ended)
        fail(QStringLiteral("Cannot write the PDF file '%1': the PDF could not be completed").arg(m_outputFile));
    if (!output->commit())
        fail(QStringLiteral("Cannot write the PDF file '%1': %2").arg(m_outputFile, output->errorString()));
}

void PdfFilePrinter::abortDoc()
{
    if (!printing())
        return;
    m_painter->end();
    m_painter.reset();
    m_writer.reset();
    // Half a document is no document: nobody should mistake it for the output, and a file
    // that was there before stays as it was.
    m_output.reset();
}

void PdfFilePrinter::drawPage(const TMetafile& page, QPoint offset)
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    replayPage(*m_painter, page, offset, m_fonts);
}
