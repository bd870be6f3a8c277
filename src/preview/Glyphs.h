#pragma once

#include <QCursor>
#include <QIcon>
#include <QImage>

// The pictures of the preview window, drawn in code: glyphs of its speed buttons (clear
// on a 25 x 25 button), the window icon and the magnifier cursor.
namespace Glyphs {
QIcon fitPage();    // a whole page with arrows top and bottom: fit the page height
QIcon fitWidth();   // a page with arrows left and right: fit the page width
QIcon magnifier();  // a magnifying glass: the zoom tool
QIcon hand();       // an open hand: the drag tool
QIcon firstPage();  // |<  (bar + triangle pointing left)
QIcon prevPage();   // <
QIcon nextPage();   // >
QIcon lastPage();   // >|
QIcon pageNumber(); // a page with a "#": go to page number
QIcon windowIcon(); // a printed page (a few text lines) for the window's title bar
// The window icon's picture drawn afresh at size x size pixels, transparent around the
// page: the program's icon for desktops and menus at any size.
QImage windowIconImage(int size);
// A 32 x 32 two-colour (black and white, the rest transparent) magnifier cursor whose
// hot spot (10, 10) is the centre of the lens; the handle runs to the bottom right.
QCursor zoomCursor();
} // namespace Glyphs
