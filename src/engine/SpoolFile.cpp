#include "SpoolFile.h"

#include "platform/Errors.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

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

SpoolFileText::SpoolFileText(const QString& path, std::size_t pieceSize)
    : m_path(path)
    , m_file(path)
    , m_pieceSize(std::max<std::size_t>(pieceSize, 1))
{
    // A device or a pipe has no end a printer stream could be cut at.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        throw EFileError(QStringLiteral("Cannot open file \"%1\". It is not a regular file").arg(path).toStdString());
    if (!m_file.open(QIODevice::ReadOnly))
        throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(path, m_file.errorString()).toStdString());
}

void SpoolFileText::readPiece()
{
    m_piece.resize(m_pieceSize);
    const qint64 n = m_file.read(m_piece.data(), static_cast<qint64>(m_pieceSize));
    if (n < 0)
        throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(m_path, m_file.errorString()).toStdString());
    m_piece.resize(static_cast<std::size_t>(n));
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

std::string readSpoolFile(const QString& path)
{
    SpoolFileText text(path, 1 << 16);
    std::string whole;
    const qint64 size = QFileInfo(path).size();
    if (size > 0)
        whole.reserve(static_cast<std::size_t>(size));
    for (std::string_view piece = text.next(); !piece.empty(); piece = text.next())
        whole.append(piece);
    return whole;
}
