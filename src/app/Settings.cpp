// The settings kept in the machine-wide registry between runs.

#include "Main.h"

#include "platform/Errors.h"
#include "platform/IPrintDialog.h"
#include "platform/IPrinters.h"
#include "platform/IRegistry.h"

#include <type_traits>

namespace {

const QString kKey = QStringLiteral("\\SOFTWARE\\Morvane\\Pagello");

} // namespace

void TForm1::LoadSettings()
{
    PagesSpool = 3;
    AutoStart = true;
    PrinterIndex = -1;
    PrinterName.clear();
    Emulation = TEmulation::CommandTable;
    IRegistry& registry = m_platform.registry;
    IApplication& app = m_platform.engine.application;
    bool open = false;
    // A registry that cannot be read is reported; the program starts on the defaults.
    try {
        open = registry.openKey(kKey, true);
    } catch (const PagelloError& e) {
        app.showException(e);
    }
    if (open) {
        // A value of the wrong type is reported and keeps its default; start-up goes on.
        const auto read = [&](const QString& name, auto&& store) {
            try {
                if (!registry.valueExists(name))
                    return;
                if constexpr (std::is_invocable_v<decltype(store), QString>)
                    store(registry.readString(name));
                else
                    store(registry.readInteger(name));
            } catch (const PagelloError& e) {
                app.showException(e);
            }
        };
        read(QStringLiteral("AutoStart"), [this](int value) { AutoStart = value != 0; });
        read(QStringLiteral("PrinterIndex"), [this](int value) { PrinterIndex = value; });
        read(QStringLiteral("PrinterName"), [this](const QString& value) { PrinterName = value; });
        read(QStringLiteral("PagesSpool"), [this](int value) { PagesSpool = value; });
        read(QStringLiteral("Emulation"), [this](int value) { Emulation = emulationFromSetting(value); });
        registry.closeKey();
    }
    IPrinters& printers = m_platform.engine.printers;
    const QStringList names = printers.printerNames();
    // The queue kept by its name wins over the index, which then follows it; a queue gone
    // since (or a file without the name) leaves the index to choose.
    const int named = PrinterName.isEmpty() ? -1 : static_cast<int>(names.indexOf(PrinterName));
    if (named >= 0)
        PrinterIndex = named;
    if (PrinterIndex >= 0 && PrinterIndex < names.size())
        printers.setPrinterIndex(PrinterIndex);
}

void TForm1::SaveSettings()
{
    const IPrinters& printers = m_platform.engine.printers;
    const QStringList names = printers.printerNames();
    PrinterIndex = names.isEmpty() ? -1 : printers.printerIndex();
    PrinterName = PrinterIndex >= 0 && PrinterIndex < names.size() ? names[PrinterIndex] : QString();
    IRegistry& registry = m_platform.registry;
    registry.openKey(kKey, true);
    registry.writeInteger(QStringLiteral("AutoStart"), AutoStart ? 1 : 0);
    registry.writeInteger(QStringLiteral("PrinterIndex"), PrinterIndex);
    registry.writeString(QStringLiteral("PrinterName"), PrinterName);
    registry.writeInteger(QStringLiteral("PagesSpool"), PagesSpool);
    registry.writeInteger(QStringLiteral("Emulation"), static_cast<int>(Emulation));
    registry.closeKey();
}

void TForm1::Settings1Click()
{
    // Only the printer and its settings are chosen here; range and copies do not apply.
    PrintDialogOptions options;
    options.pageNumbersEnabled = false;
    // The printer chosen is kept at once: a display that goes away ends the program
    // without its exit, and nothing chosen is lost then.
    if (m_platform.engine.printDialog.execute(options))
        storeSettings();
}
