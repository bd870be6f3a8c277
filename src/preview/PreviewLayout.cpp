#include "PreviewLayout.h"

#include <QLocale>

#include <algorithm>
#include <array>
#include <cmath>

namespace {

constexpr std::array<double, kZoomItemCount> kItemFactors{0, 0, 0, 0.25, 0.5, 0.75, 1.0, 1.25, 1.5, 2.0, 3.0, 4.0};
// Beyond this a widget cannot be created on X11.
constexpr double kMaxPanel = 32767;

// Inches of paper along one axis; nothing without a page or resolution.
double pageInches(int pixels, int ppi)
{
    return pixels > 0 && ppi > 0 ? double(pixels) / ppi : 0.0;
}

double fitZoom(int clientPixels, int screenPpi, double inches)
{
    if (inches <= 0 || screenPpi <= 0)
        return 1.0;
    return std::max(0, clientPixels - 20) / double(screenPpi) / inches;
}

// In the order the zoom was derived in, so that a fitted page comes out whole.
int panelPixels(int screenPpi, double zoom, int pixels, int printerPpi)
{
    if (pixels <= 0 || printerPpi <= 0)
        return 0;
    const double size = screenPpi * zoom * pixels / printerPpi;
    if (!std::isfinite(size) || size <= 0)
        return 0;
    return int(std::min(size, kMaxPanel));
}

} // namespace

double zoomItemFactor(int itemIndex)
{
    return itemIndex >= 0 && itemIndex < kZoomItemCount ? kItemFactors[itemIndex] : 1.0;
}

PreviewLayout layoutPreview(const PreviewLayoutInput& in)
{
    PreviewLayout out;
    out.fitPageDown = in.itemIndex == kZoomFitPage;
    out.fitWidthDown = in.itemIndex == kZoomFitWidth;
    out.itemIndex = in.itemIndex == -1 ? kZoomFitPage : in.itemIndex;

    const double inchesX = pageInches(in.pageWidth, in.printerPpiX);
    const double inchesY = pageInches(in.pageHeight, in.printerPpiY);
    switch (out.itemIndex) {
    case kZoomFitPage:
        out.zoom = fitZoom(in.client.height(), in.screenPpi, inchesY);
        break;
    case kZoomFitWidth:
        out.zoom = fitZoom(in.client.width(), in.screenPpi, inchesX);
        break;
    case kZoomCustom:
        out.zoom = in.storedZoom;
        break;
    default:
        out.zoom = zoomItemFactor(out.itemIndex);
    }

    out.onePageForced = out.itemIndex != kZoomFitPage;
    out.twoPages = in.twoPages && !out.onePageForced;
    const int w = panelPixels(in.screenPpi, out.zoom, in.pageWidth, in.printerPpiX);
    const int h = panelPixels(in.screenPpi, out.zoom, in.pageHeight, in.printerPpiY);
    out.page = QSize(w, h);

    const int content = out.twoPages ? 2 * (w + 20) : w + 20;
    out.contain.setHeight(h + 20 < in.client.height() ? in.client.height() - 1 : h + 20);
    out.contain.setWidth(content < in.client.width() ? in.client.width() - 1 : content);

    const int top = out.contain.height() > h + 20 ? out.contain.height() / 2 - h / 2 : 10;
    const int left = content < out.contain.width() ? out.contain.width() / 2 - (content - 20) / 2 : 10;
    out.page1 = QPoint(left, top);
    out.page2 = QPoint(left + w + 20, top);
    return out;
}

QString zoomLabelText(double zoom, const QLocale& locale)
{
    return locale.toString(zoom * 100, 'f', 0) + QLatin1Char('%');
}

double magnifiedZoom(double zoom, bool left, bool right)
{
    if (left)
        zoom *= 1.5;
    if (right)
        zoom /= 1.5;
    if (!std::isfinite(zoom))
        return kMaxZoom;
    return std::clamp(zoom, kMinZoom, kMaxZoom);
}
