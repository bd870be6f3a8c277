#pragma once

#include <QPoint>

class QPainter;
class TMetafile;
class IFonts;

// Draws a recorded page through a painter, one recorded unit to one painter unit, with
// the page's corner at offset. Used for PNG output and the preview. Each glyph is drawn
// where the layout put it: at its record's x plus the layout's advances of the bytes
// before it.
void replayPage(QPainter& painter, const TMetafile& page, QPoint offset, IFonts& fonts);
