#pragma once

// Reading a document's bytes for the printer-language interpreters, whole or piece by piece.

#include "PrevPrinter.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <utility>

namespace emulation {

// The whole text as one piece.
class WholeText : public TTextSource
{
public:
    explicit WholeText(std::string_view text)
        : m_text(text)
    {}
    std::string_view next() override { return std::exchange(m_text, std::string_view()); }

private:
    std::string_view m_text;
};

// The bytes of a text source one at a time, with one byte of look-ahead. A piece is used
// only until the next is read: nothing of it is kept.
class ByteReader
{
public:
    explicit ByteReader(TTextSource& source)
        : m_source(source)
    {}

    // The next byte, or -1 at the end of the text.
    int get()
    {
        if (m_pos == m_piece.size() && !refill())
            return -1;
        return static_cast<unsigned char>(m_piece[m_pos++]);
    }
    // A little-endian 16-bit parameter, or -1 when the text ends first.
    int get16()
    {
        const int low = get();
        const int high = get();
        return low < 0 || high < 0 ? -1 : low + 256 * high;
    }
    // The byte get() returns next, without taking it.
    int peek()
    {
        if (m_pos == m_piece.size() && !refill())
            return -1;
        return static_cast<unsigned char>(m_piece[m_pos]);
    }
    // Gives back the byte get() has just returned: it is read again next.
    void unget()
    {
        if (m_pos > 0)
            --m_pos;
    }
    // What is left of the piece being read: the bytes get() returns next, as far as they lie
    // in one piece.
    std::string_view rest() const { return m_piece.substr(m_pos); }
    // Skips `count` bytes; false when the text ends first.
    bool skip(long long count)
    {
        while (count > 0) {
            if (m_pos == m_piece.size() && !refill())
                return false;
            const auto step = static_cast<std::size_t>(std::min<long long>(count, m_piece.size() - m_pos));
            m_pos += step;
            count -= static_cast<long long>(step);
        }
        return true;
    }

private:
    bool refill()
    {
        if (m_done)
            return false;
        m_piece = m_source.next();
        m_pos = 0;
        m_done = m_piece.empty();
        return !m_done;
    }

    TTextSource& m_source;
    std::string_view m_piece;
    std::size_t m_pos = 0;
    bool m_done = false;
};

} // namespace emulation
