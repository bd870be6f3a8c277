#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>

class QFileDevice;

// Writes into an open file through its descriptor, in chunks, and remembers the first write
// the file did not take whole (a full disk, a file-size limit, an I/O error) with the system's
// reason; every later write is refused. (A QFile forgets a failed write once a later one
// succeeds, and reports a short write without its reason: a document with a hole in it could
// pass for complete.)
class CheckedWrites : public QIODevice
{
public:
    // The file is open for writing and stays the caller's; nothing else writes into it while
    // this device lives.
    explicit CheckedWrites(QFileDevice& file);
    ~CheckedWrites() override;
    CheckedWrites(const CheckedWrites&) = delete;
    CheckedWrites& operator=(const CheckedWrites&) = delete;

    // Writes out what is held: true when every byte written has reached the file, else
    // errorString() says why.
    bool finish();
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    void drain();
    void failed(const QString& reason);

    int m_descriptor;
    QByteArray m_pending;
    bool m_failed = false;
};

// The file a document is written into, complete or not at all. A regular file, or a name not
// yet taken, is written beside the target and renamed over it only once every byte is written:
// a failure leaves no partial file, and an earlier file at the target as it was. Anything else
// already there (a device such as /dev/stdout, a pipe) is written directly, checked alike, and
// never removed.
class OutputFile
{
public:
    explicit OutputFile(QString path);
    ~OutputFile(); // discards an output that was not committed
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // The device to write into, or nothing when the output cannot be opened (errorString()).
    QIODevice* open();
    // Completes the output; false, with the output discarded, when not every byte reached it.
    bool commit();
    // Drops what was written; the target stays as it was (a device keeps what it was given).
    void discard();
    QString errorString() const { return m_error; }

private:
    QString m_path;
    std::unique_ptr<QFileDevice> m_file; // QSaveFile beside a regular file, QFile on anything else
    std::unique_ptr<CheckedWrites> m_device;
    QString m_error;
};
