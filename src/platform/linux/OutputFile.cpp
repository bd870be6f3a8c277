#include "OutputFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <utility>

#include <unistd.h>

namespace {

constexpr qsizetype kChunk = 64 * 1024;

} // namespace

CheckedWrites::CheckedWrites(QFileDevice& file)
    : m_descriptor(file.handle())
{
    QIODevice::open(QIODevice::WriteOnly);
    if (m_descriptor < 0)
        failed(QStringLiteral("the file is not open"));
}

CheckedWrites::~CheckedWrites() = default;

bool CheckedWrites::finish()
{
    drain();
    return !m_failed;
}

qint64 CheckedWrites::readData(char*, qint64)
{
    return -1;
}

qint64 CheckedWrites::writeData(const char* data, qint64 size)
{
    if (m_failed)
        return -1;
    m_pending.append(data, size);
    if (m_pending.size() >= kChunk)
        drain();
    return m_failed ? -1 : size;
}

void CheckedWrites::drain()
{
    const char* data = m_pending.constData();
    qsizetype left = m_failed ? 0 : m_pending.size();
    // A short write is followed by another for the rest: the one that takes nothing tells why.
    while (left > 0) {
        const ssize_t written = ::write(m_descriptor, data, static_cast<size_t>(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            failed(written < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                               : QStringLiteral("the file takes no more data"));
            break;
        }
        data += written;
        left -= written;
    }
    m_pending.clear();
}

void CheckedWrites::failed(const QString& reason)
{
    m_failed = true;
    setErrorString(reason);
}

OutputFile::OutputFile(QString path)
    : m_path(std::move(path))
{}

OutputFile::~OutputFile()
{
    discard();
}

QIODevice* OutputFile::open()
{
    discard();
    const QFileInfo target(m_path);
    std::unique_ptr<QFileDevice> file;
    if (target.exists() && !target.isFile())
        file = std::make_unique<QFile>(m_path);
    else
        file = std::make_unique<QSaveFile>(m_path);
    if (!file->open(QIODevice::WriteOnly)) {
        m_error = file->errorString();
        return nullptr;
    }
    m_file = std::move(file);
    m_device = std::make_unique<CheckedWrites>(*m_file);
    return m_device.get();
}

bool OutputFile::commit()
{
    if (!m_file) {
        m_error = QStringLiteral("the file is not open");
        return false;
    }
    bool written = m_device->finish();
    if (!written)
        m_error = m_device->errorString();
    m_device.reset();
    if (auto* save = qobject_cast<QSaveFile*>(m_file.get())) {
        // A failed commit removes the file written beside the target.
        if (written && !save->commit()) {
            written = false;
            m_error = save->errorString();
        }
    } else {
        m_file->close();
        if (written && m_file->error() != QFileDevice::NoError) {
            written = false;
            m_error = m_file->errorString();
        }
    }
    // Not committed, a file written beside the target goes with its QSaveFile.
    m_file.reset();
    return written;
}

void OutputFile::discard()
{
    m_device.reset();
    if (auto* save = qobject_cast<QSaveFile*>(m_file.get()))
        save->cancelWriting();
    m_file.reset();
}
