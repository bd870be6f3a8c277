#include "RenderTool.h"

#include "engine/PrevPrinter.h"
#include "engine/SpoolFile.h"
#include "platform/Errors.h"
#include "platform/Metafile.h"
#include "platform/OemCodePage.h"
#include "platform/Replay.h"
#include "platform/linux/LinuxPlatform.h"
#include "preview/PrevForm.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: pagello-render FILE.PRN (-o OUT.pdf | --png DIR | --json | --preview) [options]

Lays a DOS spool file out into pages as the spooler does and writes the pages out.

Output (exactly one):
  -o, --output OUT.pdf    print the pages into a PDF file
  --png DIR               one PNG per page (DIR/page-001.png, ...), at most 200 dpi
  --json                  the recorded pages as JSON on standard output
  --preview               show the pages in the preview window (needs a display);
                          its print button prints on the printers of the desktop

Options:
  --device DPI:WxH:OX,OY  lay out for a described device instead of the default printer:
                          resolution, sheet size in device pixels, hardware margins
                          (e.g. 600:4960x7016:100,100; DPIXxDPIY for unequal axes)
  --logo FILE             the logo bitmap of the pages
  --cp CODEPAGE           DOS code page of the file (default 852, or PAGELLO_CP)
  --emulation NAME        the printer language of the file: table (the command table,
                          the default), escp2 (Epson ESC/P 2) or pcl5 (HP PCL 5)
  -h, --help              show this help
  --version               show the version

Exit status: 0 done, 1 the layout or the output failed, 2 bad arguments or unreadable input.
)";

// Bad arguments or input: reported with a pointer to --help, exit code 2.
class UsageError : public std::runtime_error
{
public:
    explicit UsageError(const QString& message)
        : std::runtime_error(message.toStdString())
    {}
};

enum class Output
{
    None,
    Pdf,
    Png,
    Json,
    Preview
};

struct Options
{
    QString input;
    Output output = Output::None;
    QString target; // the PDF file or the PNG directory
    std::optional<DeviceMetrics> device;
    QString logo;
    std::optional<int> codePage;
    TEmulation emulation = TEmulation::CommandTable;
};

// The options as the parser knows them. Each is spelt only as listed, a single letter
// after one dash, a word after two; a value follows as the next argument or, after a long
// name, as "=VALUE".
struct CommandLine
{
    QCommandLineOption output{{QStringLiteral("o"), QStringLiteral("output")}, QString(), QStringLiteral("OUT.pdf")};
    QCommandLineOption png{QStringLiteral("png"), QString(), QStringLiteral("DIR")};
    QCommandLineOption json{QStringLiteral("json"), QString()};
    QCommandLineOption preview{QStringLiteral("preview"), QString()};
    QCommandLineOption device{QStringLiteral("device"), QString(), QStringLiteral("DPI:WxH:OX,OY")};
    QCommandLineOption logo{QStringLiteral("logo"), QString(), QStringLiteral("FILE")};
    QCommandLineOption codePage{QStringLiteral("cp"), QString(), QStringLiteral("CODEPAGE")};
    QCommandLineOption emulation{QStringLiteral("emulation"), QString(), QStringLiteral("NAME")};
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")}, QString()};
    QCommandLineOption version{QStringLiteral("version"), QString()};

    std::vector<const QCommandLineOption*> all() const
    {
        return {&output, &png, &json, &preview, &device, &logo, &codePage, &emulation, &help, &version};
    }
    // The option of a name without its dashes, or null.
    const QCommandLineOption* find(const QString& name) const
    {
        for (const QCommandLineOption* option : all()) {
            if (option->names().contains(name))
                return option;
        }
        return nullptr;
    }
};

bool looksLikeOption(const QString& arg)
{
    return arg.size() > 1 && arg.startsWith(QLatin1Char('-'));
}

// What the parser would let through but the tool refuses, in the order of the words: a
// spelling it would stretch ("-output", "-o=OUT", "--o"), a value after an option that
// takes none, and a forgotten value. The parser takes whatever follows an option as its
// value; a word that looks like an option means the value was forgotten ("--device
// --json"), and an unusual value can still be given as --option=VALUE.
void checkSpelling(const CommandLine& commandLine, const QStringList& args)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        QString arg = args[i];
        if (arg == QLatin1String("--"))
            return;
        if (!looksLikeOption(arg))
            continue;
        std::optional<QString> inlineValue;
        QString name;
        if (arg.startsWith(QLatin1String("--"))) {
            const qsizetype eq = arg.indexOf(QLatin1Char('='));
            if (eq > 0) {
                inlineValue = arg.mid(eq + 1);
                arg.truncate(eq);
            }
            name = arg.mid(2);
            if (name.size() < 2)
                name.clear();
        } else if (arg.size() == 2) {
            name = arg.mid(1);
        }
        const QCommandLineOption* option = name.isEmpty() ? nullptr : commandLine.find(name);
        if (!option)
            throw UsageError(QStringLiteral("unknown option %1").arg(arg));
        if (option->valueName().isEmpty()) {
            if (inlineValue)
                throw UsageError(QStringLiteral("option %1 takes no value").arg(arg));
        } else if (!inlineValue) {
            if (i + 1 >= args.size() || looksLikeOption(args[i + 1]))
                throw UsageError(QStringLiteral("option %1 needs a value").arg(arg));
            ++i;
        }
    }
}

Options parseArguments(const QStringList& args)
{
    const CommandLine commandLine;
    checkSpelling(commandLine, args);
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    for (const QCommandLineOption* option : commandLine.all())
        parser.addOption(*option);
    // The parser wants the program's name first.
    if (!parser.parse(QStringList{QStringLiteral("pagello-render")} + args))
        throw UsageError(parser.errorText());

    Options o;
    const auto setOutput = [&](Output output, const QString& option, const QString& target) {
        if (o.output != Output::None)
            throw UsageError(
                QStringLiteral("%1: only one of -o, --png, --json and --preview may be given").arg(option));
        if ((output == Output::Pdf || output == Output::Png) && target.isEmpty())
            throw UsageError(QStringLiteral("%1: the value is empty").arg(option));
        o.output = output;
        o.target = target;
    };
    // The options in the order given, each value in turn: the first wrong one is reported.
    std::map<const QCommandLineOption*, qsizetype> taken;
    for (const QString& name : parser.optionNames()) {
        const QCommandLineOption* option = commandLine.find(name);
        if (!option)
            continue;
        const QString spelt = (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
        const QString value = option->valueName().isEmpty() ? QString() : parser.values(*option).value(taken[option]++);

        if (option == &commandLine.output) {
            setOutput(Output::Pdf, spelt, value);
        } else if (option == &commandLine.png) {
            setOutput(Output::Png, spelt, value);
        } else if (option == &commandLine.json) {
            setOutput(Output::Json, spelt, QString());
        } else if (option == &commandLine.preview) {
            setOutput(Output::Preview, spelt, QString());
        } else if (option == &commandLine.device) {
            QString why;
            o.device = parseDevice(value, &why);
            if (!o.device)
                throw UsageError(QStringLiteral("bad --device '%1': %2").arg(value, why));
        } else if (option == &commandLine.logo) {
            o.logo = value;
            if (o.logo.isEmpty())
                throw UsageError(QStringLiteral("--logo: the value is empty"));
        } else if (option == &commandLine.emulation) {
            if (value == QLatin1String("table"))
                o.emulation = TEmulation::CommandTable;
            else if (value == QLatin1String("escp2"))
                o.emulation = TEmulation::EscP2;
            else if (value == QLatin1String("pcl5"))
                o.emulation = TEmulation::Pcl5;
            else
                throw UsageError(QStringLiteral("bad --emulation '%1': expected table, escp2 or pcl5").arg(value));
        } else if (option == &commandLine.codePage) {
            o.codePage = OemCodePage::parseNumber(value.toStdString());
            if (!o.codePage)
                throw UsageError(QStringLiteral("bad --cp '%1': expected a code page number such as 852").arg(value));
        }
    }

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        throw UsageError(QStringLiteral("no input file"));
    if (positional.size() > 1)
        throw UsageError(QStringLiteral("only one input file may be given (also got '%1')").arg(positional[1]));
    o.input = positional.front();
    if (o.output == Output::None)
        throw UsageError(QStringLiteral("no output: give -o OUT.pdf, --png DIR, --json or --preview"));
    return o;
}

// The engine holds one printer object for its life, but the tool may lay out on the
// default printer and print into a PDF file: this forwards to whichever is current.
class RoutedPrinters : public IPrinters
{
public:
    explicit RoutedPrinters(IPrinters& target)
        : m_target(&target)
    {}
    void route(IPrinters& target) { m_target = &target; }

    QStringList printerNames() const override { return m_target->printerNames(); }
    int printerIndex() const override { return m_target->printerIndex(); }
    void setPrinterIndex(int index) override { m_target->setPrinterIndex(index); }
    TPrinterOrientation orientation() const override { return m_target->orientation(); }
    void setOrientation(TPrinterOrientation orientation) override { m_target->setOrientation(orientation); }
    QString title() const override { return m_target->title(); }
    void setTitle(const QString& title) override { m_target->setTitle(title); }
    DeviceMetrics deviceMetrics() override { return m_target->deviceMetrics(); }
    bool printing() const override { return m_target->printing(); }
    void beginDoc() override { m_target->beginDoc(); }
    void newPage() override { m_target->newPage(); }
    void endDoc() override { m_target->endDoc(); }
    void abortDoc() override { m_target->abortDoc(); }
    void drawPage(const TMetafile& page, QPoint offset) override { m_target->drawPage(page, offset); }

private:
    IPrinters* m_target;
};

// The tool never asks: a print dialog, should the engine open one, is cancelled.
class NoPrintDialog : public IPrintDialog
{
public:
    std::optional<PrintDialogChoice> execute(const PrintDialogOptions&) override { return std::nullopt; }
};

DeviceMetrics engineMetrics(const TPreviewPrinter& engine)
{
    return DeviceMetrics{engine.PixelsPerInchX(), engine.PixelsPerInchY(), engine.PageWidth(),
                         engine.PageHeight(),     engine.PageOffsetX(),    engine.PageOffsetY()};
}

// Lays the spool file out from its start, read piece by piece.
void layOut(TPreviewPrinter& engine, const SpoolHandle& file, const QString& name, TEmulation emulation)
{
    if (::lseek(file.fd(), 0, SEEK_SET) != 0)
        throw EFileError(QStringLiteral("Cannot read file \"%1\"").arg(name).toStdString());
    SpoolFileText text(file.fd(), name);
    if (emulationReadsBinary(emulation))
        text.keepBinary();
    engine.Render(text, emulation);
}

// Lays the spool file out handing over the pages in batches as it goes: whenever a page
// begins, the pages before it go to `batch` and are discarded; the last ones when the
// layout is done. No more than a page or two are ever held.
void layOutInBatches(TPreviewPrinter& engine, const SpoolHandle& file, const QString& name, TEmulation emulation,
                     const std::function<void(const TPreviewPrinter&)>& batch)
{
    engine.OnNewPage = [&batch](TPreviewPrinter& sender, int page) {
        // When page 1 begins nothing has been drawn yet.
        if (page <= 1 || sender.PageCount() == 0)
            return;
        sender.CloseCanvas();
        batch(sender);
        sender.Clear();
    };
    try {
        layOut(engine, file, name, emulation);
    } catch (...) {
        engine.OnNewPage = nullptr;
        throw;
    }
    engine.OnNewPage = nullptr;
    batch(engine);
}

// One PDF document printed a batch of pages at a time, as PrintRange prints a range: the
// pages are drawn shifted by the offsets of the printer printing them.
class PdfOutput
{
public:
    PdfOutput(IPrinters& printer, TPrinterOrientation orientation)
        : m_printer(printer)
        , m_orientation(orientation)
    {}
    ~PdfOutput()
    {
        // A document left unfinished by a failure is thrown away.
        if (m_printer.printing())
            m_printer.abortDoc();
    }
    PdfOutput(const PdfOutput&) = delete;
    PdfOutput& operator=(const PdfOutput&) = delete;

    void print(const TPreviewPrinter& engine)
    {
        for (int i = 0; i < engine.PageCount(); ++i) {
            if (!m_begun) {
                m_printer.setOrientation(m_orientation);
                m_printer.beginDoc();
                m_begun = true;
                const DeviceMetrics m = m_printer.deviceMetrics();
                m_offset = QPoint(-m.physicalOffsetX, -m.physicalOffsetY);
            } else {
                m_printer.newPage();
            }
            m_printer.drawPage(engine.Pages(i), m_offset);
        }
    }
    // Ends the document under its title.
    void end(const QString& title)
    {
        if (!m_begun)
            throw EPrinterError("Nothing was printed");
        m_printer.setTitle(title);
        m_printer.endDoc();
    }

private:
    IPrinters& m_printer;
    TPrinterOrientation m_orientation;
    bool m_begun = false;
    QPoint m_offset;
};

void writePngs(const TPreviewPrinter& engine, IFonts& fonts, const QString& directory)
{
    const DeviceMetrics m = engineMetrics(engine);
    if (m.logPixelsX <= 0 || m.logPixelsY <= 0 || m.physicalWidth <= 0 || m.physicalHeight <= 0)
        throw EPrinterError("The device has no sheet size to draw the pages on; describe one with --device");
    constexpr double kMaxDpi = 200.0;
    const double sx = std::min(1.0, kMaxDpi / m.logPixelsX);
    const double sy = std::min(1.0, kMaxDpi / m.logPixelsY);
    const qint64 width = std::max<qint64>(1, qRound64(m.physicalWidth * sx));
    const qint64 height = std::max<qint64>(1, qRound64(m.physicalHeight * sy));
    // An image is held whole in memory, 4 bytes a pixel: a poster at 200 dpi fits, a sheet
    // described by mistake in kilometres is refused before anything is allocated.
    constexpr qint64 kMaxSide = 32767;
    constexpr qint64 kMaxPixels = 100'000'000;
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        throw EPrinterError(QStringLiteral("A page image of %1 x %2 pixels is too large (at most 100 megapixels and "
                                           "32767 pixels a side); describe a smaller sheet with --device")
                                .arg(width)
                                .arg(height)
                                .toStdString());
    if (!QDir().mkpath(directory))
        throw EFileError(QStringLiteral("Cannot create directory '%1'").arg(directory).toStdString());
    const QDir dir(directory);
    for (int i = 0; i < engine.PageCount(); ++i) {
        QImage image(static_cast<int>(width), static_cast<int>(height), QImage::Format_RGB32);
        if (image.isNull())
            throw EPrinterError(QStringLiteral("Not enough memory for a page image of %1 x %2 pixels")
                                    .arg(width)
                                    .arg(height)
                                    .toStdString());
        image.fill(Qt::white);
        image.setDotsPerMeterX(qRound(m.logPixelsX * sx / 0.0254));
        image.setDotsPerMeterY(qRound(m.logPixelsY * sy / 0.0254));
        {
            QPainter painter(&image);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                                   QPainter::SmoothPixmapTransform);
            painter.scale(sx, sy);
            replayPage(painter, engine.Pages(i), QPoint(0, 0), fonts);
        }
        const QString path = dir.filePath(QString::asprintf("page-%03d.png", i + 1));
        if (!image.save(path, "PNG"))
            throw EFileError(QStringLiteral("Cannot write '%1'").arg(path).toStdString());
    }
}

int run(const Options& o, std::ostream& out)
{
    std::optional<OemCodePage> loaded;
    if (o.codePage) {
        loaded = OemCodePage::load(*o.codePage);
        if (!loaded)
            throw UsageError(QStringLiteral("unknown code page %1").arg(*o.codePage));
    }
    const OemCodePage& codePage = loaded ? *loaded : OemCodePage::system();
    if (!o.logo.isEmpty()) {
        const QFileInfo logo(o.logo);
        if (!logo.isFile() || !logo.isReadable())
            throw UsageError(QStringLiteral("cannot read the logo '%1'").arg(o.logo));
    }

    if (QFileInfo(o.input).isDir())
        throw UsageError(QStringLiteral("'%1' is a directory, not a spool file").arg(o.input));
    SpoolHandle file;
    try {
        file = openSpoolFile(o.input);
    } catch (const EFileError& e) {
        throw UsageError(QString::fromStdString(e.what()));
    }

    // The window needs a display; without one its modal loop would wait unseen forever.
    if (o.output == Output::Preview && QGuiApplication::platformName() == QLatin1String("offscreen"))
        throw UsageError(QStringLiteral("--preview needs a display (set DISPLAY)"));

    // Declared before the engine, which refers to them until it is gone.
    QtFonts fonts(codePage);
    QtScreen screen;
    QtBitmaps bitmaps;
    QtApplication application;
    // The desktop's printers: laid out on unless a device is described, printed on from
    // the preview.
    std::unique_ptr<QtPrinters> desktopPrinters;
    if (!o.device || o.output == Output::Preview)
        desktopPrinters = std::make_unique<QtPrinters>(fonts);
    std::unique_ptr<IPrintDialog> dialog;
    if (o.output == Output::Preview)
        dialog = std::make_unique<QtPrintDialog>(*desktopPrinters);
    else
        dialog = std::make_unique<NoPrintDialog>();
    // The described device is laid out on; the PDF is printed by a printer of its own, so
    // that printing never changes the metrics the layout reads.
    std::unique_ptr<PdfFilePrinter> devicePrinter;
    if (o.device)
        devicePrinter = std::make_unique<PdfFilePrinter>(*o.device, QString(), fonts);
    RoutedPrinters printers(devicePrinter ? static_cast<IPrinters&>(*devicePrinter) : *desktopPrinters);
    TPreviewPrinter engine(Platform{printers, *dialog, screen, fonts, bitmaps, application});

    engine.setUnits(unInches);
    engine.Logo = o.logo;
    const auto title = [&](int pages) {
        // The file name as it is: "%1" in it is no place for the page count.
        return QStringLiteral("Pagello : ") + QFileInfo(o.input).fileName() + QStringLiteral("  1-") +
               QString::number(pages);
    };

    switch (o.output) {
    case Output::Pdf: {
        // Each batch is printed as the layout hands it over, so that a document of any
        // length is held a few pages at a time. The sheets are those the layout was made
        // for: the described device's, or the default printer's, so that the PDF shows
        // exactly what that printer would print. The title names the number of pages,
        // known when the last is printed; a document that fails on the way leaves no file.
        std::unique_ptr<PdfFilePrinter> pdfPrinter;
        std::unique_ptr<PdfOutput> pdf;
        int pages = 0;
        layOutInBatches(engine, file, o.input, o.emulation, [&](const TPreviewPrinter& e) {
            if (e.PageCount() == 0)
                return;
            if (!pdf) {
                pdfPrinter = std::make_unique<PdfFilePrinter>(o.device ? *o.device : engineMetrics(e), o.target, fonts);
                pdf = std::make_unique<PdfOutput>(*pdfPrinter, e.Orientation);
            }
            pages += e.PageCount();
            pdf->print(e);
        });
        // A PDF cannot be empty, and a blank sheet would pretend there was something.
        if (pages == 0)
            throw EPrinterError("The document has no pages; no PDF written");
        engine.Title = title(pages);
        pdf->end(engine.Title);
        break;
    }
    case Output::Png:
        layOut(engine, file, o.input, o.emulation);
        writePngs(engine, fonts, o.target);
        break;
    case Output::Preview:
        layOut(engine, file, o.input, o.emulation);
        engine.Title = title(engine.PageCount());
        if (devicePrinter)
            printers.route(*desktopPrinters);
        engine.Preview();
        break;
    case Output::Json: {
        PagesJson json(out, fonts);
        layOutInBatches(engine, file, o.input, o.emulation, [&](const TPreviewPrinter& e) { json.write(e); });
        json.finish(engine);
        out.flush();
        if (!out)
            throw EFileError("Cannot write the standard output");
        break;
    }
    case Output::None:
        break;
    }
    return kRenderOk;
}

void appendNumber(std::string& out, long long value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendString(std::string& out, const QString& text)
{
    static const char kHex[] = "0123456789abcdef";
    const QByteArray utf8 = text.toUtf8();
    out += '"';
    for (const char c : utf8) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                out += "\\u00";
                out += kHex[(c >> 4) & 0xf];
                out += kHex[c & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

void appendField(std::string& out, const char* name, long long value)
{
    out += '"';
    out += name;
    out += "\":";
    appendNumber(out, value);
}

const char* opName(RecordOp op)
{
    switch (op) {
    case RecordOp::Text:
        return "text";
    case RecordOp::Line:
        return "line";
    case RecordOp::Frame:
        return "frame";
    case RecordOp::Bitmap:
        return "bitmap";
    }
    return "unknown";
}

} // namespace

std::optional<DeviceMetrics> parseDevice(const QString& text, QString* error)
{
    const auto fail = [&](const QString& why) -> std::optional<DeviceMetrics> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() != 3)
        return fail(QStringLiteral("expected DPI:WxH:OX,OY, e.g. 600:4960x7016:100,100"));

    // Plain decimal digits only: no signs, blanks or hexadecimal.
    const auto number = [](const QString& s, int& value) {
        if (s.isEmpty() || s.size() > 9 ||
            !std::all_of(s.begin(), s.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            return false;
        value = s.toInt();
        return true;
    };
    const auto pair = [&](const QString& s, QChar separator, int& a, int& b) {
        const QStringList p = s.split(separator);
        return p.size() == 2 && number(p[0], a) && number(p[1], b);
    };

    DeviceMetrics m;
    if (!parts[0].contains(QLatin1Char('x'))) {
        if (!number(parts[0], m.logPixelsX))
            return fail(QStringLiteral("the resolution '%1' is not a number").arg(parts[0]));
        m.logPixelsY = m.logPixelsX;
    } else if (!pair(parts[0], QLatin1Char('x'), m.logPixelsX, m.logPixelsY)) {
        return fail(QStringLiteral("the resolution '%1' is not DPI or DPIXxDPIY").arg(parts[0]));
    }
    if (!pair(parts[1], QLatin1Char('x'), m.physicalWidth, m.physicalHeight))
        return fail(QStringLiteral("the sheet '%1' is not WIDTHxHEIGHT in device pixels").arg(parts[1]));
    if (!pair(parts[2], QLatin1Char(','), m.physicalOffsetX, m.physicalOffsetY))
        return fail(QStringLiteral("the offsets '%1' are not X,Y in device pixels").arg(parts[2]));

    if (m.logPixelsX <= 0 || m.logPixelsY <= 0)
        return fail(QStringLiteral("the resolution must be above 0"));
    if (m.physicalWidth <= 0 || m.physicalHeight <= 0)
        return fail(QStringLiteral("the sheet must not be empty"));
    if (m.physicalOffsetX >= m.physicalWidth || m.physicalOffsetY >= m.physicalHeight)
        return fail(QStringLiteral("the offsets must lie inside the sheet"));
    return m;
}

PagesJson::PagesJson(std::ostream& out, const IFonts& fonts)
    : m_out(out)
    , m_fonts(fonts)
{
    m_buffer.reserve(1 << 12);
}

void PagesJson::writeDevice(const TPreviewPrinter& engine)
{
    if (m_deviceWritten)
        return;
    m_deviceWritten = true;
    std::string& s = m_buffer;
    s.clear();
    s += "{\"device\":{";
    appendField(s, "dpi_x", engine.PixelsPerInchX());
    s += ',';
    appendField(s, "dpi_y", engine.PixelsPerInchY());
    s += ',';
    appendField(s, "page_width", engine.PageWidth());
    s += ',';
    appendField(s, "page_height", engine.PageHeight());
    s += ',';
    appendField(s, "offset_x", engine.PageOffsetX());
    s += ',';
    appendField(s, "offset_y", engine.PageOffsetY());
    s += "},\"pages\":[";
    flushBuffer();
}

void PagesJson::write(const TPreviewPrinter& engine)
{
    writeDevice(engine);
    std::string& s = m_buffer;
    for (int p = 0; p < engine.PageCount(); ++p) {
        const TMetafile& page = engine.Pages(p);
        s.clear();
        if (m_pageWritten)
            s += ',';
        m_pageWritten = true;
        s += "{\"records\":[";
        bool first = true;
        for (const MetaRecord& r : page.records()) {
            if (!first)
                s += ',';
            first = false;
            s += "{\"op\":\"";
            s += opName(r.op);
            s += "\",";
            appendField(s, "x", r.x);
            s += ',';
            appendField(s, "y", r.y);
            if (r.op == RecordOp::Text) {
                const FontSpec& font = page.font(r);
                s += ",\"font\":{\"name\":";
                appendString(s, font.name);
                s += ',';
                appendField(s, "size", font.size);
                s += font.bold() ? ",\"bold\":true" : ",\"bold\":false";
                s += font.underline() ? ",\"underline\":true" : ",\"underline\":false";
                s += "},\"text\":";
                appendString(s, m_fonts.decode(font, page.bytes(r)));
            } else {
                s += ',';
                appendField(s, "width", r.width);
                s += ',';
                appendField(s, "height", r.height);
            }
            s += '}';
            // Record by record: a page of long records need not be held as one string.
            flushBuffer();
        }
        s += "]}";
        flushBuffer();
    }
}

void PagesJson::finish(const TPreviewPrinter& engine)
{
    writeDevice(engine);
    m_buffer = "]}\n";
    flushBuffer();
}

void PagesJson::flushBuffer()
{
    m_out.write(m_buffer.data(), static_cast<std::streamsize>(m_buffer.size()));
    m_buffer.clear();
}

int runRenderTool(const QStringList& args, std::ostream& out, std::ostream& err)
{
    // Asked for anywhere, the help and the version are all that is done.
    if (args.contains(QLatin1String("-h")) || args.contains(QLatin1String("--help"))) {
        out << kUsage;
        return kRenderOk;
    }
    if (args.contains(QLatin1String("--version"))) {
        out << "pagello-render " << PAGELLO_VERSION << "\n";
        return kRenderOk;
    }
    QString input;
    try {
        const Options options = parseArguments(args);
        input = options.input;
        return run(options, out);
    } catch (const UsageError& e) {
        err << "pagello-render: " << e.what() << "\n"
            << "Try 'pagello-render --help' for more information.\n";
        return kRenderUsage;
    } catch (const EDocumentError& e) {
        // A document refused as a whole is named, as the spooler names it.
        err << "pagello-render: " << input.toStdString() << ": " << e.what() << "\n";
        return kRenderFailed;
    } catch (const PagelloError& e) {
        err << "pagello-render: " << e.what() << "\n";
        return kRenderFailed;
    } catch (const std::exception& e) {
        err << "pagello-render: unexpected failure: " << e.what() << "\n";
        return kRenderFailed;
    }
}
