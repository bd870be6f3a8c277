#pragma once

#include <QPoint>

class QPainter;
class TMetafile;
class IFonts;

// Draws a recorded page through a painter, one recorded unit to one painter unit, with
// the page's corner at offset. Used for printers, PDF and PNG output and the preview.
void replayPage(QPainter& painter, const TMetafile& page, QPoint offset, const IFonts& fonts);
