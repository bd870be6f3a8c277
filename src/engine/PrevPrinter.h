#pragma once

#include "Emulation.h"

#include "platform/DeviceTypes.h"
#include "platform/IFonts.h"
#include "platform/Metafile.h"
#include "platform/Platform.h"

#include <QString>

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

class TPreviewPrinter;
class TPreviewForm;

enum TUnits
{
    unInches = 0,
    unCentimeters = 1
};

enum TZoomOption
{
    zoFitToPage = 0,
    zoFitToWidth = 1,
    zoTwoPages = 2,
    zoCustom = 3
};

enum TPrintPageNumber
{
    pnBottom = 0,
    pnTop = 1,
    pnNone = 2
};

enum TStatusType
{
    stPaginating = 0,
    stPrinting = 1,
    stPaginationComplete = 2,
    stPrintJobComplete = 3
};

enum TAlignment
{
    taLeftJustify = 0,
    taRightJustify = 1,
    taCenter = 2
};

// A document's text handed over in pieces, for a text too long to be held at once. Each
// piece stays valid until the next call; an empty piece ends the text.
class TTextSource
{
public:
    virtual ~TTextSource() = default;
    virtual std::string_view next() = 0;
};

// Raised before each page of RenderText begins; Page counts from 1.
using TNewPageProc = std::function<void(TPreviewPrinter& Sender, int Page)>;
// Progress of pagination and printing.
using TStatusProc =
    std::function<void(TPreviewPrinter& Sender, const QString& StatMsg, int PageNum, TStatusType StatusType)>;

// A font: face, point size, style and character set, with the resolution its pixel
// height is computed for. Every change is announced through OnChange.
class TFont
{
public:
    TFont() = default;
    TFont(const QString& name, int size, std::uint8_t style = 0, int charset = DEFAULT_CHARSET);
    // Copies attributes, not the handler. Announces the change.
    TFont(const TFont& other);
    TFont& operator=(const TFont& other);
    void Assign(const TFont& source);

    const QString& Name() const { return m_name; }
    void setName(const QString& name);
    // Points; derived from Height at PixelsPerInch.
    int Size() const;
    void setSize(int points);
    // Em height in pixels (negative as the font mapper stores it: character height).
    int Height() const { return m_height; }
    void setHeight(int height);
    // Em width in horizontal device pixels, for a face drawn narrower or wider than its
    // own shape (condensed, double width); 0 keeps the face's shape.
    int Width() const { return m_width; }
    void setWidth(int width);
    std::uint8_t Style() const { return m_style; }
    void setStyle(std::uint8_t style);
    int Charset() const { return m_charset; }
    void setCharset(int charset);
    QRgb Color() const { return m_color; }
    void setColor(QRgb color);
    int PixelsPerInch() const { return m_pixelsPerInch; }
    // Changes the resolution only; the pixel height stays until Size is written again.
    void setPixelsPerInch(int ppi) { m_pixelsPerInch = ppi > 0 ? ppi : 96; }

    FontSpec attributes() const;

    std::function<void(TFont& Sender)> OnChange;

private:
    void Changed();

    QString m_name = QStringLiteral("Arial");
    int m_pixelsPerInch = 96;
    int m_height = -13; // 10 pt at 96 dpi
    int m_width = 0;
    std::uint8_t m_style = 0;
    int m_charset = DEFAULT_CHARSET;
    QRgb m_color = 0xff000000;
};

enum TBrushStyle
{
    bsSolid = 0,
    bsClear = 1
};

struct TBrush
{
    TBrushStyle Style = bsSolid;
    QRgb Color = 0xffffffff;
};

struct TPen
{
    QRgb Color = 0xff000000;
    int Width = 1;
};

// The framework's recording canvas: drawing calls become records of one metafile,
// measured against a reference device. The metafile must outlive the canvas.
class TMetafileCanvas
{
public:
    TMetafileCanvas(TMetafile& metafile, const DeviceMetrics& reference, IFonts& fonts);
    virtual ~TMetafileCanvas() = default;
    TMetafileCanvas(const TMetafileCanvas&) = delete;
    TMetafileCanvas& operator=(const TMetafileCanvas&) = delete;

    TFont Font;
    TBrush Brush;
    TPen Pen;

    const DeviceMetrics& reference() const { return m_reference; }
    TMetafile& metafile() { return *m_metafile; }

    // Returns the width of the bytes, as TextWidth measures it.
    int TextOut(int x, int y, std::string_view bytes);
    // Width in device pixels of the bytes in the current font.
    int TextWidth(std::string_view bytes);
    int GlyphWidth(unsigned char byte);
    // The layout's advance of every byte in the current font; the table stays valid for the
    // life of the fonts object.
    const GlyphAdvances& Advances();
    void MoveTo(int x, int y);
    void LineTo(int x, int y);
    void FrameRect(const QRect& rect);
    // The bitmap stretched into the rectangle; its transparent pixels leave the page as it was.
    void StretchDraw(const QRect& rect, std::shared_ptr<const QImage> bitmap);

protected:
    // The canvas's own reaction to a change of its font: the next text call picks it up.
    void FontChanged(TFont& sender);

private:
    void prepareFont();
    // The layout's width of the bytes in the prepared font, unclamped.
    long long advance(std::string_view bytes) const;

    TMetafile* m_metafile;
    DeviceMetrics m_reference;
    IFonts* m_fonts;
    bool m_fontDirty = true;
    FontSpec m_current; // the font the cached index and advances belong to
    int m_fontIndex = -1;
    const GlyphAdvances* m_advances = nullptr;
    QPoint m_penPos;
};

// The engine's recording canvas. It takes over its font's change notification and
// forwards every notification to the handler that was installed before it.
class TVelMetaFileCanvas : public TMetafileCanvas
{
public:
    TVelMetaFileCanvas(TMetafile& metafile, const DeviceMetrics& reference, IFonts& fonts);

private:
    std::function<void(TFont&)> m_inheritedFontChanged;
};

// Margins, fonts and header/footer settings of the engine. Margins are in the engine's
// units. The fonts are owned; writing one copies the given font's attributes.
class TTextOptions
{
public:
    TTextOptions();

    double MarginLeft = 1.0;
    double MarginTop = 1.0;
    double MarginRight = 1.0;
    double MarginBottom = 1.0;

    TFont& BodyFont() { return m_bodyFont; }
    TFont& HeaderFont() { return m_headerFont; }
    TFont& FooterFont() { return m_footerFont; }
    TFont& PageNumFont() { return m_pageNumFont; }
    void setBodyFont(const TFont& font) { m_bodyFont.Assign(font); }
    void setHeaderFont(const TFont& font) { m_headerFont.Assign(font); }
    void setFooterFont(const TFont& font) { m_footerFont.Assign(font); }
    void setPageNumFont(const TFont& font) { m_pageNumFont.Assign(font); }

    QString Header;
    QString Footer;
    double HeaderMargin = 0.5;
    double FooterMargin = 0.75;
    TAlignment HeaderAlign = taCenter;
    TAlignment FooterAlign = taCenter;
    TPrintPageNumber PrintPageNumber = pnBottom;
    TAlignment PageNumAlign = taRightJustify;
    QString PageNumText = QStringLiteral("Page %d");

private:
    TFont m_bodyFont;
    TFont m_headerFont;
    TFont m_footerFont;
    TFont m_pageNumFont;
};

// The preview printer: records a document as pages against the current printer, lays
// raw printer text out into pages, and prints page ranges. Owns its text options, its
// pages and the recording canvas. Main thread only.
class TPreviewPrinter
{
public:
    explicit TPreviewPrinter(Platform platform);
    ~TPreviewPrinter();
    TPreviewPrinter(const TPreviewPrinter&) = delete;
    TPreviewPrinter& operator=(const TPreviewPrinter&) = delete;

    // Published settings.
    TPrinterOrientation Orientation = poPortrait;
    QString Title;
    QString Logo;
    TTextOptions& TextOptions() { return *m_textOptions; }
    TUnits Units() const { return m_units; }
    void setUnits(TUnits value);
    bool ShowGrid = false;
    TZoomOption ZoomOption = zoFitToPage;
    int ZoomVal = 100;
    TNewPageProc OnNewPage;
    TStatusProc OnStatus;

    // Document protocol: BeginDoc; draw on Canvas; NewPage; ...; EndDoc.
    void BeginDoc();
    void NewPage();
    void EndDoc();
    // The current recording canvas; an assertion failure outside a document. Marks the
    // page as used. Null after CloseCanvas until the next NewPage.
    TVelMetaFileCanvas* Canvas();
    void CloseCanvas();
    void Clear();

    bool Printing() const { return m_printing; }
    bool PageUsed() const { return m_pageUsed; }
    int PageCount() const { return static_cast<int>(m_pages.size()); }
    const TMetafile& Pages(int index) const;
    int PixelsPerInchX() const { return m_pixelsPerInchX; }
    int PixelsPerInchY() const { return m_pixelsPerInchY; }
    int PageWidth() const { return m_pageWidth; }
    int PageHeight() const { return m_pageHeight; }
    int PageOffsetX() const { return m_pageOffsetX; }
    int PageOffsetY() const { return m_pageOffsetY; }
    double UnitsFactor() const { return m_unitsFactor; }

    int UnitsToPixelsX(double value) const;
    int UnitsToPixelsY(double value) const;
    double PixelsToUnitsX(int pixels) const;
    double PixelsToUnitsY(int pixels) const;
    void AdjustFont(TFont& font) const;
    void UpdateDeviceMetrics(const DeviceMetrics& device);

    // Replaces the pages with the layout of raw printer text (bytes of the DOS code page).
    // The text ends at its end or at a NUL byte.
    void RenderText(std::string_view Text);
    // The same layout of a text read piece by piece: only the piece being laid out and a
    // run of text not yet drawn are held, so with pages printed and discarded in batches
    // a document of any length needs little memory.
    void RenderText(TTextSource& Source);
    // The layout of an Epson ESC/P 2 printer stream (bytes as the file has them, NUL
    // included) into the same pages: the same page breaks, logo, batches and bounds.
    void RenderEscP2(std::string_view Text);
    void RenderEscP2(TTextSource& Source);
    // The layout of an HP PCL 5 printer stream into the same pages.
    void RenderPcl5(std::string_view Text);
    void RenderPcl5(TTextSource& Source);
    // Lays the document out in the emulation chosen.
    void Render(TTextSource& Source, TEmulation emulation);

    // Prints pages FromIndex..ToIndex (0-based, inclusive) as one printer job.
    bool PrintRange(int FromIndex, int ToIndex);
    bool Print();
    // Asks for range and copies in the system print dialog; false when cancelled.
    bool PrintWithDialog();

    // The preview window on the recorded pages, configured from ShowGrid, ZoomOption and
    // ZoomVal and laid out once; owned by the caller. An assertion failure while a
    // document is being recorded. Preview shows it modally and destroys it when it
    // closes. Both live with the window, in the preview library.
    std::unique_ptr<TPreviewForm> CreatePreviewForm();
    void Preview();

    const Platform& platform() const { return m_platform; }

private:
    // The interpreters of printer languages lay pages out as RenderText does, on the
    // engine's own document state.
    friend class EscP2Layout;
    friend class Pcl5Layout;

    void raiseStatus(const QString& message, int pageNum, TStatusType type);

    Platform m_platform;
    bool m_printing = false;
    std::vector<std::unique_ptr<TMetafile>> m_pages;
    std::unique_ptr<TVelMetaFileCanvas> m_canvas;
    int m_pixelsPerInchX = 0;
    int m_pixelsPerInchY = 0;
    int m_pageWidth = 0;
    int m_pageHeight = 0;
    int m_pageOffsetX = 0;
    int m_pageOffsetY = 0;
    bool m_pageUsed = false;
    std::unique_ptr<TTextOptions> m_textOptions;
    TUnits m_units = unInches;
    double m_unitsFactor = 1.0;
};
