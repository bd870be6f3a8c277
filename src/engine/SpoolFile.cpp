#include "SpoolFile.h"

#include "platform/Errors.h"

#include "platform/IFileAccess.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

std::string cutSpoolText(std::string raw)
{
    std::replace(raw.begin(), raw.end(), '\0', '\xff');
    for (std::size_t i = raw.find('\r'); i != std::string::npos && i + 1 < raw.size(); i = raw.find('\r', i + 1)) {
        if (static_cast<unsigned char>(raw[i + 1]) == 0xff) {
            raw.resize(i + 1);
            break;
        }
    }
    return raw;
}

SpoolFileText::SpoolFileText(int fd, const QString& name, std::size_t pieceSize)
    : m_fd(fd)
    , m_name(name)
    , m_pieceSize(std::max<std::size_t>(pieceSize, 1))
{}

void SpoolFileText::readPiece()
{
    m_piece.resize(m_pieceSize);
    std::size_t filled = 0;
    while (filled < m_pieceSize) {
        const ssize_t n = ::read(m_fd, m_piece.data() + filled, m_pieceSize - filled);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EFileError(QStringLiteral("Cannot read file \"%1\". %2")
                                 .arg(m_name, QString::fromLocal8Bit(std::strerror(errno)))
                                 .toStdString());
        }
        filled += static_cast<std::size_t>(n);
    }
    m_piece.resize(filled);
    if (m_opened) {
        const std::optional<FileIdentity> now = descriptorIdentity(m_fd);
        if (now && (now->size != m_opened->size || now->modifiedNs != m_opened->modifiedNs))
            throw EFileChanged(
                QStringLiteral("The file \"%1\" was changed while it was being read").arg(m_name).toStdString());
    }
    if (m_binary) {
        m_done = m_piece.empty();
        return;
    }
    std::replace(m_piece.begin(), m_piece.end(), '\0', '\xff');
    // The end marker, a carriage return followed by 255, may straddle two pieces.
    if (m_endsWithReturn && !m_piece.empty() && static_cast<unsigned char>(m_piece[0]) == 0xff) {
        m_piece.clear();
        m_done = true;
        return;
    }
    for (std::size_t i = m_piece.find('\r'); i != std::string::npos && i + 1 < m_piece.size();
         i = m_piece.find('\r', i + 1)) {
        if (static_cast<unsigned char>(m_piece[i + 1]) == 0xff) {
            m_piece.resize(i + 1);
            m_done = true;
            return;
        }
    }
    if (m_piece.empty())
        m_done = true;
    m_endsWithReturn = !m_piece.empty() && m_piece.back() == '\r';
}

bool SpoolFileText::hasText()
{
    if (!m_peeked && !m_done) {
        readPiece();
        m_peeked = true;
    }
    return m_peeked && !m_piece.empty();
}

std::string_view SpoolFileText::next()
{
    if (m_peeked) {
        m_peeked = false;
        return m_piece;
    }
    if (m_done)
        return {};
    readPiece();
    return m_piece;
}

SpoolHandle openSpoolFile(const QString& path)
{
    // O_NONBLOCK: a pipe named here must not wait for a writer; it is refused below.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        throw EFileError(QStringLiteral("Cannot open file \"%1\". %2")
                             .arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                             .toStdString());
    SpoolHandle owner(fd, FileIdentity{});
    struct stat info
    {
    };
    // A device or a pipe has no end a printer stream could be cut at.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        throw EFileError(QStringLiteral("Cannot open file \"%1\". It is not a regular file").arg(path).toStdString());
    return owner;
}
