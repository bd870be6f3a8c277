#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>
#include <vector>

// A CUPS scheduler of the test's own: `cupsd -f` with its configuration, spool, cache,
// state and logs in a temporary directory, reachable through a socket there and, when
// asked, on a TCP port of the loopback interface, as a print server of an office is on its
// network. Its backend directory holds the capture backend and links to the
// system's filters and backends. The machine's CUPS set-up is neither read nor changed,
// with one exception: cups-pdf reads its per-queue configuration only from /etc/cups, so
// a cups-pdf queue gets a file there, removed again when the scheduler stops.
//
// The scheduler dies with the process that started it, even when that one crashes.
class PrivateCups
{
public:
    PrivateCups();
    ~PrivateCups();
    PrivateCups(const PrivateCups&) = delete;
    PrivateCups& operator=(const PrivateCups&) = delete;

    // Why no private scheduler can run here (not root, CUPS not installed); empty when it can.
    static QString missingPrerequisite();
    // Whether cups-pdf (its backend and PPD) is installed.
    static bool hasCupsPdf();

    // A TCP port of the loopback interface on which nothing listens now; 0 when none is found.
    static quint16 freeLoopbackPort();

    // Listens on 127.0.0.1:port as well (0: the socket only). Set before start().
    void listenOnPort(quint16 port) { m_port = port; }
    // What a client names as its server (CUPS_SERVER, ServerName in client.conf):
    // "127.0.0.1:PORT" when it listens on a port.
    QString serverAddress() const { return QStringLiteral("127.0.0.1:%1").arg(m_port); }

    // Starts cupsd and waits until it answers. On failure error() says why.
    bool start();
    // Stops cupsd and removes everything it and its queues wrote.
    void stop();
    QString socketPath() const;
    QString error() const { return m_error; }

    // A queue whose backend keeps each job's document (PDF) and title. With a PPD
    // the queue behaves as that printer; without one it is a raw queue.
    bool addCaptureQueue(const QString& name, const QString& ppd = {}, const QStringList& options = {});
    // A cups-pdf printer writing into a directory of this scheduler.
    bool addCupsPdfQueue(const QString& name);
    bool removeQueue(const QString& name);
    // Lets a queue accept new jobs, or refuse them as `cupsreject` does.
    bool setAcceptingJobs(const QString& name, bool accepting);
    // The scheduler's default destination.
    bool setDefault(const QString& name);

    struct CapturedJob
    {
        int id = 0;
        QString title;
        QString options;  // as the backend got them: "name=value name2=value2 ..."
        QString document; // path of the PDF
    };
    // The jobs a capture queue has received, oldest first.
    std::vector<CapturedJob> capturedJobs(const QString& queue) const;
    // The PDF files a cups-pdf queue has written.
    QStringList cupsPdfOutputs(const QString& queue) const;
    // Deletes the outputs of earlier jobs.
    void clearOutputs();

    // Waits until no job is pending or printing, at most timeoutMs.
    bool waitUntilIdle(int timeoutMs = 20000);
    // Jobs the scheduler has been given so far, finished or not; -1 when it does not answer.
    int jobCount();

    // The last lines of the scheduler's error log, for failure messages.
    QString logTail(int lines = 30) const;

private:
    QString path(const QString& relative) const;
    bool writeFile(const QString& relative, const QByteArray& contents);
    bool run(const QString& program, const QStringList& args, QString* output = nullptr);
    bool answers() const;
    bool answersOnPort() const;
    QString cupsPdfConfig(const QString& queue) const;

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QProcess> m_cupsd;
    QStringList m_cupsPdfConfigs;
    QString m_error;
    quint16 m_port = 0;
};
