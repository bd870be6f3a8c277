#include "LinuxPlatform.h"

#include "../Errors.h"
#include "../pdf/PdfDocument.h"
#include "OutputFile.h"

#include <utility>

namespace {

[[noreturn]] void fail(const QString& message)
{
    throw EPrinterError(message.toStdString());
}

} // namespace

PdfFilePrinter::PdfFilePrinter(const DeviceMetrics& metrics, const QString& outputFile, IFonts& fonts)
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

void PdfFilePrinter::setTitle(const QString& title)
{
    m_title = title;
    if (m_pdf)
        m_pdf->setTitle(title);
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
    auto pdf = std::make_unique<PdfDocument>(*device, m_fonts);
    pdf->setTitle(m_title);
    pdf->setCreator(QStringLiteral("Pagello"));
    m_output = std::move(output);
    m_pdf = std::move(pdf);
    m_sheet = m;
    beginSheet();
}

// A sheet of the device's size, each axis at its own resolution.
void PdfFilePrinter::beginSheet()
{
    const DeviceMetrics& m = m_sheet;
    m_pdf->beginPage(QSizeF(m.physicalWidth * 72.0 / m.logPixelsX, m.physicalHeight * 72.0 / m.logPixelsY),
                     m.logPixelsX, m.logPixelsY);
}

void PdfFilePrinter::newPage()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    beginSheet();
}

void PdfFilePrinter::endDoc()
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    const std::unique_ptr<PdfDocument> pdf = std::move(m_pdf);
    const std::unique_ptr<OutputFile> output = std::move(m_output);
    // Not written whole, the output is discarded with its object.
    if (!pdf->finish())
        fail(QStringLiteral("Cannot write the PDF file '%1': %2").arg(m_outputFile, pdf->errorString()));
    if (!output->commit())
        fail(QStringLiteral("Cannot write the PDF file '%1': %2").arg(m_outputFile, output->errorString()));
}

void PdfFilePrinter::abortDoc()
{
    if (!printing())
        return;
    m_pdf.reset();
    // Half a document is no document: nobody should mistake it for the output, and a file
    // that was there before stays as it was.
    m_output.reset();
}

void PdfFilePrinter::drawPage(const TMetafile& page, QPoint offset)
{
    if (!printing())
        fail(QStringLiteral("Printer is not currently printing"));
    m_pdf->drawPage(page, offset);
}
