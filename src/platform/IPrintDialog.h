#pragma once

#include <optional>

struct PrintDialogOptions
{
    int fromPage = 1;
    int toPage = 1;
    int minPage = 1;
    int maxPage = 1;
    bool pageNumbersEnabled = true; // the page-range choice is offered
};

struct PrintDialogChoice
{
    bool allPages = true; // false: fromPage..toPage
    int fromPage = 1;
    int toPage = 1;
    int copies = 1;
};

// The system print dialog: range, copies and the printer (which becomes the current one
// of IPrinters). Modal, main thread only.
class IPrintDialog
{
public:
    virtual ~IPrintDialog() = default;
    // Nothing when the user cancels.
    virtual std::optional<PrintDialogChoice> execute(const PrintDialogOptions& options) = 0;
};
