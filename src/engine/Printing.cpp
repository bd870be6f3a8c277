#include "PrevPrinter.h"

#include "platform/IPrintDialog.h"
#include "platform/IPrinters.h"
#include "platform/IScreen.h"

#include <algorithm>

bool TPreviewPrinter::PrintRange(int FromIndex, int ToIndex)
{
    BusyCursor busy(m_platform.screen);
    IPrinters& printer = m_platform.printers;
    printer.setOrientation(Orientation);
    printer.setTitle(Title);
    printer.beginDoc();
    try {
        // The offsets are those of the printer printing now, which the dialog may have changed.
        UpdateDeviceMetrics(printer.deviceMetrics());
        for (int index = FromIndex; index <= ToIndex; ++index) {
            raiseStatus(QStringLiteral("Printing page %1").arg(index), index, stPrinting);
            printer.drawPage(Pages(index), QPoint(-m_pageOffsetX, -m_pageOffsetY));
            if (index < ToIndex)
                printer.newPage();
        }
        printer.endDoc();
    } catch (...) {
        // A failed job is thrown away rather than left open on the printer.
        printer.abortDoc();
        throw;
    }
    raiseStatus(QStringLiteral("Print Job Complete"), -1, stPrintJobComplete);
    return true;
}

bool TPreviewPrinter::Print()
{
    return PrintRange(0, PageCount() - 1);
}

bool TPreviewPrinter::PrintWithDialog()
{
    PrintDialogOptions options;
    options.fromPage = 1;
    options.toPage = PageCount();
    options.minPage = 1;
    options.maxPage = PageCount();
    options.pageNumbersEnabled = true;
    const std::optional<PrintDialogChoice> choice = m_platform.printDialog.execute(options);
    if (!choice)
        return false;

    int from = 0;
    int to = PageCount() - 1;
    if (!choice->allPages) {
        // A range beyond the document prints what of it exists.
        from = std::max(choice->fromPage - 1, 0);
        to = std::min(choice->toPage - 1, PageCount() - 1);
    }
    for (int copy = 0; copy < choice->copies; ++copy)
        PrintRange(from, to);
    return true;
}
