#include "FakePrinters.h"

#include "../Errors.h"

#include <QDateTime>

#include <algorithm>
#include <utility>

void FakePrinters::addPrinter(const QString& name, const DeviceMetrics& metrics)
{
    for (Printer& printer : m_printers) {
        if (printer.name == name) {
            printer.metrics = metrics;
            return;
        }
    }
    m_printers.push_back({name, metrics});
    if (m_index < 0)
        m_index = 0;
}

void FakePrinters::failOn(Failure step, bool always, int after)
{
    m_failure = step;
    m_failAlways = always;
    m_failAfter = after;
}

void FakePrinters::maybeFail(Failure step)
{
    if (m_failure != step)
        return;
    if (m_failAfter > 0) {
        --m_failAfter;
        return;
    }
    if (!m_failAlways)
        m_failure = Failure::None;
    throw EPrinterError("Printer failure (scripted)");
}

QStringList FakePrinters::printerNames() const
{
    QStringList names;
    for (const Printer& p : m_printers)
        names << p.name;
    return names;
}

void FakePrinters::setPrinterIndex(int index)
{
    if (index < -1 || index >= static_cast<int>(m_printers.size()))
        throw EPrinterError("Printer index out of range");
    m_index = index;
}

DeviceMetrics FakePrinters::deviceMetrics()
{
    ++m_metricsQueries;
    maybeFail(Failure::Metrics);
    if (m_index < 0)
        throw EPrinterError("There is no default printer currently selected");
    DeviceMetrics m = m_printers[m_index].metrics;
    if (m_orientation == poLandscape) {
        std::swap(m.physicalWidth, m.physicalHeight);
        std::swap(m.physicalOffsetX, m.physicalOffsetY);
        std::swap(m.logPixelsX, m.logPixelsY);
    }
    return m;
}

void FakePrinters::beginDoc()
{
    if (m_printing)
        throw EPrinterError("Printing in progress");
    if (m_index < 0)
        throw EPrinterError("There is no default printer currently selected");
    maybeFail(Failure::BeginDoc);
    Job job;
    job.printer = m_printers[m_index].name;
    job.title = m_title;
    job.orientation = m_orientation;
    job.sheets.emplace_back();
    m_jobs.push_back(std::move(job));
    m_printing = true;
}

void FakePrinters::newPage()
{
    if (!m_printing)
        throw EPrinterError("Printer is not currently printing");
    maybeFail(Failure::NewPage);
    m_jobs.back().sheets.emplace_back();
}

void FakePrinters::endDoc()
{
    if (!m_printing)
        throw EPrinterError("Printer is not currently printing");
    maybeFail(Failure::EndDoc);
    m_jobs.back().ended = true;
    m_jobs.back().created = QDateTime::currentSecsSinceEpoch();
    m_printing = false;
    if (afterJob)
        afterJob(m_jobs.back());
}

void FakePrinters::abortDoc()
{
    if (!m_printing)
        return;
    m_jobs.back().aborted = true;
    m_printing = false;
}

void FakePrinters::drawPage(const TMetafile& page, QPoint offset)
{
    if (!m_printing)
        throw EPrinterError("Printer is not currently printing");
    maybeFail(Failure::DrawPage);
    DrawnPage drawn;
    if (m_keepRecords)
        drawn.page = page;
    drawn.offset = offset;
    drawn.recordCount = page.records().size();
    m_jobs.back().sheets.back().pages.push_back(std::move(drawn));
}

bool FakePrinters::jobCreatedSince(const QString& title, qint64 since)
{
    ++m_jobQueries;
    maybeFail(Failure::JobQuery);
    return std::any_of(m_jobs.begin(), m_jobs.end(),
                       [&](const Job& job) { return job.ended && job.title == title && job.created >= since; });
}
