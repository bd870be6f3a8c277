#include "Replay.h"

#include "IFonts.h"
#include "Metafile.h"

#include <QFontMetricsF>
#include <QPainter>

#include <vector>

void replayPage(QPainter& painter, const TMetafile& page, QPoint offset, const IFonts& fonts)
{
    painter.save();
    painter.translate(offset);
    painter.setBackgroundMode(Qt::TransparentMode);
    painter.setBrush(Qt::NoBrush);

    // Fonts are made once per replay; a page has a handful of them.
    struct Prepared
    {
        QFont font;
        qreal ascent = 0;
        bool made = false;
    };
    std::vector<Prepared> prepared(page.fonts().size());

    for (const MetaRecord& r : page.records()) {
        switch (r.op) {
        case RecordOp::Text: {
            Prepared& p = prepared[r.index];
            const FontSpec& desc = page.font(r);
            if (!p.made) {
                p.font = fonts.qfont(desc);
                p.ascent = QFontMetricsF(p.font).ascent();
                p.made = true;
            }
            painter.setFont(p.font);
            painter.setPen(QColor::fromRgba(desc.color));
            // Text hangs from its top: the base line lies one ascent below y.
            const QPointF baseLine(r.x, r.y + p.ascent);
            const QString text = fonts.decode(desc, page.bytes(r));
            const double scale = desc.horizontalScale();
            if (scale == 1.0) {
                painter.drawText(baseLine, text);
            } else {
                // Pixels that are not square: the glyphs are as wide as they were measured.
                const QTransform square = painter.worldTransform();
                painter.translate(baseLine);
                painter.scale(scale, 1.0);
                painter.drawText(QPointF(0, 0), text);
                painter.setWorldTransform(square);
            }
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
