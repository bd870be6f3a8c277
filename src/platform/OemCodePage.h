#pragma once

#include <QString>

#include <array>
#include <optional>
#include <string_view>

// The DOS code page of the spool files: byte -> character. Control bytes 1..31 and 127
// map to the IBM PC glyphs (smiley, hearts, arrows, house) so that nothing a DOS program
// printed vanishes from the page. Immutable once made; any thread may read it.
class OemCodePage
{
public:
    // The code page 852 unless PAGELLO_CP names another one (e.g. "437"); an unknown or
    // malformed PAGELLO_CP is reported on standard error in one line and falls back to 852.
    static const OemCodePage& system();
    // The table of a numbered DOS code page (437, 850, 852, 866, ...), or nothing when the
    // C library knows no such code page.
    static std::optional<OemCodePage> load(int number);
    // The table of a one-byte character set by the name the C library knows it by
    // ("ISO-8859-2", "HP-ROMAN8"); its number is 0.
    static std::optional<OemCodePage> loadNamed(const char* name);
    // A code page number as a user writes it: plain decimal digits and no more than any code
    // page has (1 to 99999). Nothing for anything else: signs, blanks, hexadecimal, a number
    // that does not fit.
    static std::optional<int> parseNumber(std::string_view text);

    int number() const { return m_number; }
    QChar glyph(unsigned char byte) const { return m_table[byte]; }
    QString decode(std::string_view bytes) const;

private:
    OemCodePage() = default;
    int m_number = 0;
    std::array<QChar, 256> m_table{};
};

// Bytes of the ANSI character set (charset 0/1), read as Latin-1, for fonts that are not OEM.
QString decodeAnsi(std::string_view bytes);
