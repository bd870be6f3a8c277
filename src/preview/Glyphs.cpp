#include "Glyphs.h"

#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// Every glyph is drawn in an 18 x 18 box; lines of width 1 sit on half pixels so they stay sharp at 1x and 2x.
constexpr int kSize = 18;

const QColor kOutline(0x40, 0x40, 0x40);
const QColor kArrowFill(0x2f, 0x74, 0xd0);
const QColor kArrowLine(0x1a, 0x3e, 0x7a);
const QColor kArrowSolid(0x1f, 0x5c, 0xb8);
const QColor kLens(0xc8, 0xe4, 0xff);
const QColor kSkin(0xff, 0xe2, 0xc6);
const QColor kText(0x90, 0x90, 0x90);

using Draw = std::function<void(QPainter&)>;

QPixmap renderGlyph(const Draw& draw, int scale, qreal dpr)
{
    QPixmap pixmap(kSize * scale, kSize * scale);
    pixmap.setDevicePixelRatio(dpr);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(scale / dpr, scale / dpr);
    draw(p);
    return pixmap;
}

// The glyph at 18 px and, for HiDPI screens, at 36 px with a device pixel ratio of 2; `large` adds a 54 px picture
// for task bars and window switchers. QIcon greys the Disabled mode out of these by itself.
QIcon makeIcon(const Draw& draw, bool large = false)
{
    QIcon icon;
    icon.addPixmap(renderGlyph(draw, 1, 1));
    icon.addPixmap(renderGlyph(draw, 2, 2));
    if (large)
        icon.addPixmap(renderGlyph(draw, 3, 1));
    return icon;
}

// A white sheet with a dark outline; a non-zero fold turns down its top right corner.
void drawPage(QPainter& p, const QRectF& r, qreal fold = 0)
{
    QPolygonF sheet;
    sheet << r.topLeft() << QPointF(r.right() - fold, r.top()) << QPointF(r.right(), r.top() + fold) << r.bottomRight()
          << r.bottomLeft();
    p.setPen(QPen(kOutline, 1, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::white);
    p.drawPolygon(sheet);
    if (fold > 0) {
        p.setBrush(QColor(0xdd, 0xdd, 0xdd));
        p.drawPolygon(
            QPolygonF{{r.right() - fold, r.top()}, {r.right() - fold, r.top() + fold}, {r.right(), r.top() + fold}});
    }
}

// A blue triangle whose tip points along `dir` (a unit vector along an axis); small ones go without an outline.
void drawTriangle(QPainter& p, QPointF tip, QPointF dir, qreal length, qreal halfWidth, bool outlined = true)
{
    const QPointF base = tip - dir * length;
    const QPointF side(-dir.y() * halfWidth, dir.x() * halfWidth);
    p.setPen(outlined ? QPen(kArrowLine, 1, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin) : QPen(Qt::NoPen));
    p.setBrush(outlined ? kArrowFill : kArrowSolid);
    p.drawPolygon(QPolygonF{tip, base + side, base - side});
}

// Arrow heads at both ends of the segment from `a` to `b`, joined by a shaft.
void drawDoubleArrow(QPainter& p, QPointF a, QPointF b)
{
    const QPointF d = b - a;
    const QPointF dir = d / std::hypot(d.x(), d.y());
    p.setPen(QPen(kArrowSolid, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(a + dir * 3, b - dir * 3);
    drawTriangle(p, a, -dir, 4, 4, false);
    drawTriangle(p, b, dir, 4, 4, false);
}

// The "<" of the page buttons; `bar` adds the "|" of first page. The right-pointing ones are drawn mirrored.
Draw pageStep(bool bar, bool mirrored)
{
    return [=](QPainter& p) {
        if (mirrored) {
            p.translate(kSize, 0);
            p.scale(-1, 1);
        }
        if (bar) {
            p.setPen(QPen(kArrowLine, 1));
            p.setBrush(kArrowFill);
            p.drawRect(QRectF(2.5, 3.5, 3, 11));
        }
        drawTriangle(p, QPointF(bar ? 6.5 : 4.5, 9), QPointF(-1, 0), 8, 5.5);
    };
}

// A printed page: a blue heading and a few grey lines of text.
void drawWindowIcon(QPainter& p)
{
    drawPage(p, QRectF(2.5, 0.5, 13, 17), 4);
    p.setPen(QPen(kArrowFill, 1));
    p.drawLine(QPointF(4.5, 3.5), QPointF(9.5, 3.5));
    p.setPen(QPen(kText, 1));
    for (int y = 7; y <= 15; y += 2)
        p.drawLine(QPointF(4.5, y + 0.5), QPointF(y == 15 ? 9.5 : 13.5, y + 0.5));
}

} // namespace

namespace Glyphs {

QIcon fitPage()
{
    return makeIcon([](QPainter& p) {
        drawPage(p, QRectF(3.5, 0.5, 11, 17));
        drawDoubleArrow(p, QPointF(9, 1.5), QPointF(9, 16.5));
    });
}

QIcon fitWidth()
{
    return makeIcon([](QPainter& p) {
        drawPage(p, QRectF(0.5, 3.5, 17, 11));
        drawDoubleArrow(p, QPointF(1.5, 9), QPointF(16.5, 9));
    });
}

QIcon magnifier()
{
    return makeIcon([](QPainter& p) {
        p.setPen(QPen(kOutline, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(11.5, 11.5), QPointF(15.5, 15.5));
        p.setPen(QPen(kOutline, 1.5));
        p.setBrush(kLens);
        p.drawEllipse(QPointF(7, 7), 5.5, 5.5);
        p.setPen(QPen(Qt::white, 1.2, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(3.5, 3.5, 7, 7), 100 * 16, 70 * 16);
    });
}

QIcon hand()
{
    return makeIcon([](QPainter& p) {
        // Fingers with round tips, palm, and the thumb sticking out to the left; one outline around them all.
        const QRectF fingers[] = {{5.5, 3, 3, 9}, {8.5, 1.5, 3, 10}, {11.5, 2.5, 3, 9}, {14.5, 4.5, 3, 7}};
        QPainterPath outline;
        for (const QRectF& f : fingers)
            outline.addRoundedRect(f, 1.5, 1.5);
        QPainterPath palm;
        palm.addRoundedRect(QRectF(5.5, 8.5, 12, 9), 3.5, 3.5);
        QPainterPath thumb;
        thumb.addRoundedRect(QRectF(-1.5, -8, 3, 9.5), 1.5, 1.5);
        outline = outline.united(palm).united(QTransform().translate(6.5, 14.5).rotate(-35).map(thumb));
        p.setPen(QPen(kOutline, 1));
        p.setBrush(kSkin);
        p.drawPath(outline.simplified());
        for (int i = 1; i < 4; ++i) {
            const qreal x = fingers[i].left();
            p.drawLine(QPointF(x, std::max(fingers[i].top(), fingers[i - 1].top()) + 1.5), QPointF(x, 10.5));
        }
    });
}

QIcon firstPage()
{
    return makeIcon(pageStep(true, false));
}

QIcon prevPage()
{
    return makeIcon(pageStep(false, false));
}

QIcon nextPage()
{
    return makeIcon(pageStep(false, true));
}

QIcon lastPage()
{
    return makeIcon(pageStep(true, true));
}

QIcon pageNumber()
{
    return makeIcon([](QPainter& p) {
        drawPage(p, QRectF(2.5, 0.5, 13, 17), 4);
        p.setPen(QPen(kArrowLine, 2, Qt::SolidLine, Qt::FlatCap));
        for (int i : {7, 11})
            p.drawLine(QPointF(i, 5), QPointF(i, 16));
        for (int i : {8, 12})
            p.drawLine(QPointF(4, i + 1), QPointF(14, i + 1));
    });
}

QIcon windowIcon()
{
    return makeIcon(drawWindowIcon, true);
}

QImage windowIconImage(int size)
{
    QImage image(std::max(size, 1), std::max(size, 1), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(qreal(image.width()) / kSize, qreal(image.height()) / kSize);
    drawWindowIcon(p);
    return image;
}

QCursor zoomCursor()
{
    // Drawn pixel by pixel so it holds nothing but opaque black, opaque white and transparency: a white ring
    // outlined in black around the hot spot, and a black handle with a white rim towards the bottom right.
    constexpr int hot = 10;
    const QPointF a(15, 15), b(26, 26);
    const QPointF ab = b - a;
    const qreal ab2 = QPointF::dotProduct(ab, ab);
    QImage image(32, 32, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const qreal r = std::hypot(x - hot, y - hot);
            const QPointF ap = QPointF(x, y) - a;
            const qreal t = std::clamp(QPointF::dotProduct(ap, ab) / ab2, 0.0, 1.0);
            const QPointF off = ap - ab * t;
            const qreal h = r > 5.8 ? std::hypot(off.x(), off.y()) : 99;
            QRgb colour = 0;
            if (r > 5.8 && r <= 8.2)
                colour = qRgb(255, 255, 255);
            else if (h <= 1.6)
                colour = qRgb(0, 0, 0);
            else if (h <= 2.7)
                colour = qRgb(255, 255, 255);
            else if ((r > 4.7 && r <= 5.8) || (r > 8.2 && r <= 9.3))
                colour = qRgb(0, 0, 0);
            image.setPixel(x, y, colour);
        }
    }
    return QCursor(QPixmap::fromImage(image), hot, hot);
}

} // namespace Glyphs
