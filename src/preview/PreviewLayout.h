#pragma once

#include <QPoint>
#include <QSize>
#include <QString>

class QLocale;

// Items of the zoom box; the layout works on these indices.
enum ZoomItem
{
    kZoomFitPage = 0,
    kZoomFitWidth = 1,
    kZoomCustom = 2,
    kZoomItemCount = 12
};

// The zoom of an item (0 for the computed fit items, 1.0 beyond the table).
double zoomItemFactor(int itemIndex);

// What the preview's layout reads: the zoom choice, the scroll box's client area and the
// resolutions, and the engine's physical page in printer pixels.
struct PreviewLayoutInput
{
    int itemIndex = kZoomFitPage; // -1 when nothing is selected
    bool twoPages = false;        // the two-page button is down
    QSize client;                 // client area of the scroll box
    int screenPpi = 96;
    int pageWidth = 0;
    int pageHeight = 0;
    int printerPpiX = 0;
    int printerPpiY = 0;
    double storedZoom = 1.0; // the custom zoom
};

// Where the page panels go, all in screen pixels.
struct PreviewLayout
{
    bool fitPageDown = false;
    bool fitWidthDown = false;
    int itemIndex = kZoomFitPage; // nothing selected becomes fit page
    bool onePageForced = false;   // any zoom but fit page shows one page
    bool twoPages = false;        // the second page panel is shown
    double zoom = 1.0;
    QSize page;    // each page panel
    QSize contain; // the dark area round the pages
    QPoint page1;
    QPoint page2;
};

// Fits the page panels to the scroll box: the zoom of the chosen item (the fit items
// computed from the client area with a 10-pixel margin all round), the panels' size by
// truncation, and the content centred where it is smaller than the client area. Absurd
// input (no page size, a box smaller than its margins) gives empty panels, never a
// negative or overflowing size.
PreviewLayout layoutPreview(const PreviewLayoutInput& in);

// The zoom as the status bar shows it: per cent without decimals, grouped as the locale
// groups thousands, then "%".
QString zoomLabelText(double zoom, const QLocale& locale);

// The magnifier's zoom: enlarged by half for the left button, reduced as much for the
// right one, and kept within 5 % .. 1600 % so the page panels stay within what the
// window system can hold.
double magnifiedZoom(double zoom, bool left, bool right);
constexpr double kMinZoom = 0.05;
constexpr double kMaxZoom = 16.0;
