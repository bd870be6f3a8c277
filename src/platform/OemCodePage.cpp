#include "OemCodePage.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The glyphs a PC's character generator shows for the bytes below 32 and for 127.
constexpr char16_t kControlGlyphs[32] = {
    0x0020, 0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9,
    0x2642, 0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7,
    0x25AC, 0x21A8, 0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC,
};
constexpr char16_t kHouse = 0x2302;

bool decodeByte(iconv_t cd, unsigned char byte, char32_t& out)
{
    char in[1] = {static_cast<char>(byte)};
    char32_t result[2] = {};
    char* inPtr = in;
    size_t inLeft = 1;
    char* outPtr = reinterpret_cast<char*>(result);
    size_t outLeft = sizeof(result);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1))
        return false;
    if (outLeft != sizeof(result) - sizeof(char32_t))
        return false;
    out = result[0];
    return true;
}

constexpr int kLargestNumber = 99999;

} // namespace

std::optional<int> OemCodePage::parseNumber(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    int number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        number = number * 10 + (c - '0');
        if (number > kLargestNumber)
            return std::nullopt;
    }
    if (number == 0)
        return std::nullopt;
    return number;
}

std::optional<OemCodePage> OemCodePage::load(int number)
{
    if (number <= 0 || number > kLargestNumber)
        return std::nullopt;
    const std::string name = "IBM" + std::to_string(number);
    std::optional<OemCodePage> cp = loadNamed(name.c_str());
    if (!cp)
        cp = loadNamed(("CP" + std::to_string(number)).c_str());
    if (cp)
        cp->m_number = number;
    return cp;
}

std::optional<OemCodePage> OemCodePage::loadNamed(const char* name)
{
    iconv_t cd = iconv_open("UTF-32LE", name);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    OemCodePage cp;
    for (int b = 0; b < 256; ++b) {
        char32_t u = 0;
        // A byte the table leaves undefined is shown as the replacement character
        // rather than dropped.
        if (!decodeByte(cd, static_cast<unsigned char>(b), u) || u > 0xFFFF)
            u = 0xFFFD;
        cp.m_table[b] = QChar(static_cast<char16_t>(u));
    }
    iconv_close(cd);
    for (int b = 1; b < 32; ++b)
        cp.m_table[b] = QChar(kControlGlyphs[b]);
    cp.m_table[127] = QChar(kHouse);
    // Byte 0 never reaches a page (it ends the text); a blank keeps widths sane.
    cp.m_table[0] = QChar(u' ');
    return cp;
}

const OemCodePage& OemCodePage::system()
{
    static const OemCodePage instance = [] {
        // Set but empty is not set.
        const char* env = std::getenv("PAGELLO_CP");
        if (env && *env) {
            const std::optional<int> number = parseNumber(env);
            if (std::optional<OemCodePage> cp = number ? load(*number) : std::nullopt)
                return *cp;
            std::fprintf(stderr, "%s: PAGELLO_CP: unknown code page '%s', using 852\n", program_invocation_short_name,
                         env);
        }
        if (auto cp = load(852))
            return *cp;
        // glibc always has 437 and 852; this only guards a stripped C library.
        OemCodePage latin;
        latin.m_number = 0;
        for (int b = 0; b < 256; ++b)
            latin.m_table[b] = QChar(static_cast<char16_t>(b));
        return latin;
    }();
    return instance;
}

QString OemCodePage::decode(std::string_view bytes) const
{
    QString s(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = s.data();
    for (unsigned char b : bytes)
        *out++ = m_table[b];
    return s;
}

QString decodeAnsi(std::string_view bytes)
{
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}
