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
            painter.drawText(QPointF(r.x, r.y + p.ascent), fonts.decode(desc, page.bytes(r)));
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
