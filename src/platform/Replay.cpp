#include "Replay.h"

#include "IFonts.h"
#include "Metafile.h"

#include <QGlyphRun>
#include <QPainter>

#include <vector>

namespace {

// The glyphs of one text record, gathered face by face and drawn as glyph runs with their
// positions given: nothing is shaped, nothing moves.
class GlyphRuns
{
public:
    void draw(QPainter& painter, const GlyphTable& table, const MetaRecord& r, std::string_view bytes,
              const FontSpec& font)
    {
        const std::size_t faces = table.faces().size();
        if (m_faces.size() < faces)
            m_faces.resize(faces);
        // Where pixels are not square the faces are drawn wider by the scale, and the
        // advances, which are horizontal pixels, shrink by as much in the scaled space.
        const double scale = table.horizontalScale();
        qreal x = 0;
        for (const char byte : bytes) {
            const GlyphEntry& g = table[static_cast<unsigned char>(byte)];
            if (!g.blank) {
                Face& face = m_faces[g.face];
                face.glyphs.push_back(g.glyph);
                face.positions.push_back(QPointF(x / scale, 0));
            }
            x += g.advance;
        }
        const QPointF baseLine(r.x, r.y + table.ascent());
        const QTransform square = painter.worldTransform();
        if (scale != 1.0) {
            painter.translate(baseLine);
            painter.scale(scale, 1.0);
        }
        const QPointF origin = scale != 1.0 ? QPointF(0, 0) : baseLine;
        for (std::size_t i = 0; i < faces; ++i) {
            Face& face = m_faces[i];
            if (face.glyphs.isEmpty())
                continue;
            {
                QGlyphRun run;
                run.setRawFont(table.faces()[i]);
                run.setGlyphIndexes(face.glyphs);
                run.setPositions(face.positions);
                painter.drawGlyphRun(origin, run);
            }
            // No longer shared with the run: the lists keep their room for the next record.
            face.glyphs.clear();
            face.positions.clear();
        }
        if (scale != 1.0)
            painter.setWorldTransform(square);
        if (font.underline())
            painter.fillRect(table.underline(r.x, r.y, x), painter.pen().color());
        if (font.strikeOut())
            painter.fillRect(table.strikeOut(r.x, r.y, x), painter.pen().color());
    }

private:
    struct Face
    {
        QList<quint32> glyphs;
        QList<QPointF> positions;
    };
    std::vector<Face> m_faces;
};

} // namespace

void replayPage(QPainter& painter, const TMetafile& page, QPoint offset, IFonts& fonts)
{
    painter.save();
    painter.translate(offset);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setBrush(Qt::NoBrush);

    // Tables are looked up once per replay; a page has a handful of fonts.
    std::vector<const GlyphTable*> tables(page.fonts().size(), nullptr);
    GlyphRuns runs;

    for (const MetaRecord& r : page.records()) {
        switch (r.op) {
        case RecordOp::Text: {
            const GlyphTable*& table = tables[r.index];
            const FontSpec& font = page.font(r);
            if (!table)
                table = &fonts.glyphs(font);
            painter.setPen(QColor::fromRgba(font.color));
            runs.draw(painter, *table, r, page.bytes(r), font);
            break;
        }
        case RecordOp::Line:
            painter.setPen(QColor::fromRgba(page.color(r)));
            painter.drawLine(r.x, r.y, r.x + r.width, r.y + r.height);
            break;
        case RecordOp::Frame:
            painter.setPen(QColor::fromRgba(page.color(r)));
            painter.drawRect(QRect(r.x, r.y, r.width, r.height).adjusted(0, 0, -1, -1));
            break;
        case RecordOp::Bitmap:
            painter.drawImage(QRect(r.x, r.y, r.width, r.height), page.bitmap(r));
            break;
        }
    }
    painter.restore();
}
