#pragma once

#include "DeviceTypes.h"

#include <QPoint>
#include <QString>
#include <QStringList>

class TMetafile;

// The printers of the desktop: the installed list with the current printer, and the
// current printer's metrics, job and canvas. Main thread only.
//
// A job is beginDoc (which also starts the first sheet), drawPage on the current sheet,
// newPage for each further sheet, and endDoc; abortDoc throws a job away after a failure.
// Every failure raises EPrinterError.
class IPrinters
{
public:
    virtual ~IPrinters() = default;

    virtual QStringList printerNames() const = 0;
    int printerCount() const { return static_cast<int>(printerNames().size()); }
    // The current printer, -1 when none is installed.
    virtual int printerIndex() const = 0;
    virtual void setPrinterIndex(int index) = 0;

    virtual TPrinterOrientation orientation() const = 0;
    virtual void setOrientation(TPrinterOrientation orientation) = 0;
    virtual QString title() const = 0;
    virtual void setTitle(const QString& title) = 0;

    // The current printer's resolution, sheet and hardware margins.
    virtual DeviceMetrics deviceMetrics() = 0;

    virtual bool printing() const = 0;
    virtual void beginDoc() = 0;
    virtual void newPage() = 0;
    virtual void endDoc() = 0;
    virtual void abortDoc() = 0;
    // Draws a recorded page on the current sheet at its recorded size, its corner at
    // offset (in device pixels of the printable area).
    virtual void drawPage(const TMetafile& page, QPoint offset) = 0;

    // Whether the system has a job of this user with this title, created at `since`
    // (seconds since the epoch) or later, on any printer and in any state: asked for a
    // batch that was being sent when the program ended. Raises EPrinterError when it cannot
    // be told. A printer that keeps no jobs has none.
    virtual bool jobCreatedSince(const QString& title, qint64 since)
    {
        (void)title;
        (void)since;
        return false;
    }
};
