#pragma once

#include "platform/DeviceTypes.h"

#include <QString>
#include <QStringList>

#include <iosfwd>
#include <optional>
#include <string>

class IFonts;
class TPreviewPrinter;

// Exit codes of pagello-render.
constexpr int kRenderOk = 0;
constexpr int kRenderFailed = 1; // the layout, the printer or the output failed
constexpr int kRenderUsage = 2;  // bad arguments or unreadable input

// A described device, "DPI:WxH:OX,OY" (or "DPIXxDPIY:WxH:OX,OY"): resolution, sheet
// size in device pixels and hardware margins. Nothing, and the reason in error, when the
// text is malformed or the device impossible (no resolution, an empty sheet, offsets
// outside the sheet).
std::optional<DeviceMetrics> parseDevice(const QString& text, QString* error = nullptr);

// The engine's recorded pages as one JSON document: the device they were laid out for
// and, per page, one record per drawing call in drawing order. Coordinates are device
// pixels from the sheet's corner, font sizes points, text UTF-8. Written record by record,
// the pages a batch at a time as the layout makes them, so that no long document is held.
class PagesJson
{
public:
    PagesJson(std::ostream& out, const IFonts& fonts);
    // Writes the engine's pages after those written before; the device, from the engine,
    // comes first.
    void write(const TPreviewPrinter& engine);
    // Ends the document; it names the device even when there was no page.
    void finish(const TPreviewPrinter& engine);

private:
    void writeDevice(const TPreviewPrinter& engine);
    void flushBuffer();

    std::ostream& m_out;
    const IFonts& m_fonts;
    std::string m_buffer;
    bool m_deviceWritten = false;
    bool m_pageWritten = false;
};

// pagello-render: lays a spool file out and writes it as PDF, PNGs or JSON. args are the
// command-line arguments without the program name; an application object must exist.
// Never throws: failures are reported on err and through the exit code.
int runRenderTool(const QStringList& args, std::ostream& out, std::ostream& err);
