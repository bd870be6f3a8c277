#include "ReportGenerator.h"

#include "platform/OemCodePage.h"

#include <QHash>
#include <QString>

#include <array>
#include <cstdio>

namespace {

constexpr char kEsc = '\x1b';
constexpr char kCondensedOn = '\x0f';
constexpr char kCondensedOff = '\x12';
constexpr int kTableRows = 46;

// Unicode text back to the bytes of code page 852, through the inverse of its table.
class Cp852Encoder
{
public:
    Cp852Encoder()
    {
        const auto cp = OemCodePage::load(852);
        for (int b = 255; b >= 32; --b)
            m_bytes.insert(cp ? cp->glyph(static_cast<unsigned char>(b)) : QChar(b), static_cast<char>(b));
    }
    void append(std::string& out, const QString& text) const
    {
        for (const QChar c : text)
            out += c.unicode() < 128 ? static_cast<char>(c.unicode()) : m_bytes.value(c, '?');
    }

private:
    QHash<QChar, char> m_bytes;
};

const std::array<const char*, 12> kItems = {
    "Šroub M6×20 pozinkovaný", "Matice čtyřhranná M8",    "Podložka pérová 10",     "Hřebík stavební 80 mm",
    "Lepidlo na dřevo 750 g",  "Žárovka úsporná 11 W",    "Kabel měděný 3×1,5 (m)", "Vrták do betonu 8 mm",
    "Těsnění gumové 1/2\"",    "Barva syntetická - bílá", "Štětec plochý 50 mm",    "Pilový list na kov",
};

QString boxRule(const char* left, const char* mid, const char* right)
{
    const QString h = QStringLiteral("─");
    return QString::fromUtf8(left) + h.repeated(8) + QString::fromUtf8(mid) + h.repeated(34) + QString::fromUtf8(mid) +
           h.repeated(12) + QString::fromUtf8(mid) + h.repeated(16) + QString::fromUtf8(right);
}

} // namespace

std::string makeReport(int pages)
{
    static const Cp852Encoder encoder;
    const QString v = QStringLiteral("│");
    std::string out;
    out.reserve(static_cast<std::size_t>(pages) * 4600);
    const auto line = [&](const QString& text) {
        encoder.append(out, text);
        out += "\r\n";
    };

    unsigned seed = 12345;
    for (int page = 1; page <= pages; ++page) {
        out += kEsc;
        out += 'E';
        encoder.append(out, QStringLiteral("SKLADOVÁ SESTAVA - ŽĎÁR NAD SÁZAVOU"));
        out += kEsc;
        out += 'F';
        line(QStringLiteral("%1Strana %2").arg(QString(30, QLatin1Char(' '))).arg(page, 5));
        line(QStringLiteral("Období: leden 2024    Zpracovala: účtárna (Řezníčková)"));
        line(QString());
        line(boxRule("┌", "┬", "┐"));
        line(v + QStringLiteral(" Číslo  ") + v + QStringLiteral(" Položka").leftJustified(34) + v +
             QStringLiteral("   Množství ") + v + QStringLiteral("      Cena Kč   ") + v);
        line(boxRule("├", "┼", "┤"));
        double sum = 0;
        for (int row = 0; row < kTableRows; ++row) {
            seed = seed * 1103515245u + 12345u;
            const int number = (page * kTableRows + row) % 1000000;
            const int quantity = static_cast<int>((seed >> 8) % 500) + 1;
            const double price = static_cast<double>((seed >> 4) % 100000) / 100.0;
            sum += price;
            line(v + QStringLiteral(" %1 ").arg(number, 6, 10, QLatin1Char('0')) + v + QLatin1Char(' ') +
                 QString::fromUtf8(kItems[(seed >> 16) % kItems.size()]).leftJustified(33) + v +
                 QStringLiteral("%1 ks ").arg(quantity, 7) + v +
                 QStringLiteral("%1 ").arg(price, 15, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(',')) + v);
        }
        line(boxRule("└", "┴", "┘"));
        out += kCondensedOn;
        encoder.append(out, QStringLiteral("Poznámka: ceny jsou uvedeny včetně DPH, množství v základních "
                                           "jednotkách; zboží označené * je na cestě."));
        out += kCondensedOff;
        out += "\r\n";
        out += kEsc;
        out += 'E';
        encoder.append(out, QStringLiteral("Součet strany:"));
        out += kEsc;
        out += 'F';
        line(QStringLiteral(" %1 Kč").arg(sum, 16, 'f', 2).replace(QLatin1Char('.'), QLatin1Char(',')));
        line(QStringLiteral("═").repeated(72));
        line(QString());
        out += kCondensedOn;
        encoder.append(out, QStringLiteral("Vytištěno programem SKLAD 3.1 pro MS-DOS; kopie pro archiv."));
        out += kCondensedOff;
        out += "\r\n";
        if (page < pages)
            out += '\f';
    }
    return out;
}
