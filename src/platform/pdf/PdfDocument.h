#pragma once

#include <QPoint>
#include <QPointF>
#include <QSizeF>
#include <QString>

#include <bitset>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class GlyphTable;
class IFonts;
class QIODevice;
class QImage;
class TMetafile;
struct MetaRecord;
struct libdeflate_compressor;

// A PDF document of recorded pages, written as it goes: a page's content is compressed
// and written when the page ends, so a document of any length is held a page at a time.
// What all pages share is written once, at the end: each face used, cut down to the
// glyphs used and embedded once; every font of the pages as a one-byte font over it, so
// that a text record is written as its own bytes in one show operator, with the layout's
// advances as its widths and the code page's characters as its text; each bitmap once.
//
// Device pixels map to points by the page's resolution, each axis its own; a page's
// records are drawn with their glyphs exactly where the layout put them.
class PdfDocument
{
public:
    // Writes into `out` (open for writing), whose errors the caller checks; `fonts` gives the
    // glyph tables of the pages' fonts and outlives the document.
    PdfDocument(QIODevice& out, IFonts& fonts);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    void setTitle(const QString& title) { m_title = title; }
    void setCreator(const QString& creator) { m_creator = creator; }

    // Starts a sheet of `points`, on which a device pixel is 1/dpiX by 1/dpiY of an inch,
    // counted from the sheet's top left corner. A page still open is ended first.
    void beginPage(QSizeF points, int dpiX, int dpiY);
    // Draws a recorded page on the open sheet with its corner at `origin` (device pixels).
    void drawPage(const TMetafile& page, QPoint origin);
    void endPage();
    // Ends the open page and writes what the pages share, the page tree and the trailer.
    // False when the device refused a write; nothing can be added afterwards.
    bool finish();
    // Why a write was refused: the device's own reason.
    QString errorString() const;

    int pageCount() const { return static_cast<int>(m_pages.size()); }

private:
    struct Face;
    struct Font;

    int newObject();
    void beginObject(int object);
    void write(std::string_view bytes);
    void flush();
    void writeStream(int object, std::string_view data, std::string_view dictionary = {}, bool compress = true);
    std::string_view deflate(std::string_view data);

    Font& font(const GlyphTable& table, int face);
    Face& face(const GlyphTable& table, int face);
    int image(const QImage& bitmap);
    void text(const TMetafile& page, const MetaRecord& r, const GlyphTable& table);
    void outlines(const GlyphTable& table, int face, std::string_view bytes, double x, double y);
    void endText();
    void fillColor(std::uint32_t rgb);
    void strokeColor(std::uint32_t rgb);
    void writeFonts();

    QIODevice& m_out;
    IFonts& m_fonts;
    QString m_title;
    QString m_creator;
    std::string m_buffer;   // written bytes not yet handed to the device
    long long m_offset = 0; // of the end of m_buffer in the file
    bool m_failed = false;
    bool m_finished = false;
    std::vector<long long> m_objects; // offset of each object, by number (0 unused)
    std::vector<int> m_pages;         // page objects
    int m_resources = 0;
    int m_encoding = 0; // the one-byte CMap all fonts share

    // The open page.
    bool m_pageOpen = false;
    std::string m_content;
    QSizeF m_sheet;
    bool m_inText = false;
    int m_textFont = -1;
    double m_textScale = 100; // horizontal scaling of the text state, per cent; -1 when not known
    QPointF m_line;           // where the last run of the text object began, device pixels
    std::int64_t m_fill = -1;
    std::int64_t m_stroke = -1;

    std::vector<std::unique_ptr<Face>> m_faces;
    std::map<QString, Face*> m_facesByName;
    std::vector<std::unique_ptr<Font>> m_fontList;
    std::map<std::pair<const GlyphTable*, int>, Font*> m_fontsByTable;
    Font* m_lastFont = nullptr;
    int m_fontNumbers = 0;
    std::unordered_map<qint64, int> m_images; // by QImage::cacheKey: resource number
    std::vector<int> m_imageObjects;          // of each resource number, from 1

    libdeflate_compressor* m_compressor = nullptr;
    std::string m_deflated;
};
