#pragma once

#include "../IPrinters.h"
#include "../Metafile.h"

#include <QPoint>

#include <functional>
#include <vector>

// In-memory printers for tests: a scripted printer list with metrics per printer, and a
// record of every job with its title, orientation and sheets. Failures can be scripted.
class FakePrinters : public IPrinters
{
public:
    struct DrawnPage
    {
        TMetafile page; // empty when records are not kept
        QPoint offset;
        std::size_t recordCount = 0;
    };
    struct Sheet
    {
        std::vector<DrawnPage> pages;
    };
    struct Job
    {
        QString printer;
        QString title;
        TPrinterOrientation orientation = poPortrait;
        std::vector<Sheet> sheets;
        bool ended = false;
        bool aborted = false;
        qint64 created = 0; // seconds since the epoch, when the printer accepted it
    };
    enum class Failure
    {
        None,
        Metrics,
        BeginDoc,
        NewPage,
        DrawPage,
        EndDoc,
        JobQuery
    };

    // Adds a printer; the first one added becomes the current one. A printer already there
    // takes the new metrics (another sheet loaded, another resolution set).
    void addPrinter(const QString& name, const DeviceMetrics& metrics);
    // Makes the next call of that step raise EPrinterError (once, or always); with
    // `after`, that many calls of the step succeed first.
    void failOn(Failure step, bool always = false, int after = 0);
    // Keep copies of drawn pages (on by default); off keeps only their record counts.
    void setKeepRecords(bool keep) { m_keepRecords = keep; }

    const std::vector<Job>& jobs() const { return m_jobs; }
    int metricsQueries() const { return m_metricsQueries; }
    // Runs each time the printer has accepted a job, with that job: a test may act there
    // as another process would while a document prints.
    std::function<void(const Job&)> afterJob;

    QStringList printerNames() const override;
    int printerIndex() const override { return m_index; }
    void setPrinterIndex(int index) override;
    TPrinterOrientation orientation() const override { return m_orientation; }
    void setOrientation(TPrinterOrientation orientation) override { m_orientation = orientation; }
    QString title() const override { return m_title; }
    void setTitle(const QString& title) override { m_title = title; }
    DeviceMetrics deviceMetrics() override;
    bool printing() const override { return m_printing; }
    void beginDoc() override;
    void newPage() override;
    void endDoc() override;
    void abortDoc() override;
    void drawPage(const TMetafile& page, QPoint offset) override;
    // Among the jobs the printer accepted.
    bool jobCreatedSince(const QString& title, qint64 since) override;
    // How often jobCreatedSince was asked.
    int jobQueries() const { return m_jobQueries; }

private:
    void maybeFail(Failure step);

    struct Printer
    {
        QString name;
        DeviceMetrics metrics;
    };
    std::vector<Printer> m_printers;
    int m_index = -1;
    TPrinterOrientation m_orientation = poPortrait;
    QString m_title;
    bool m_printing = false;
    bool m_keepRecords = true;
    std::vector<Job> m_jobs;
    Failure m_failure = Failure::None;
    bool m_failAlways = false;
    int m_failAfter = 0;
    int m_metricsQueries = 0;
    int m_jobQueries = 0;
};
