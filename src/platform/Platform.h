#pragma once

#include <QString>

class IPrinters;
class IPrintDialog;
class IScreen;
class IFonts;
class IBitmaps;
class IApplication;
class IRegistry;
class IChangeNotifications;
class IFileAccess;
class IProcessEnvironment;
class IWindowManager;
class INotifyArea;

// The desktop services the engine draws on; the executable owns the real ones, a test
// the fakes.
struct Platform
{
    IPrinters& printers;
    IPrintDialog& printDialog;
    IScreen& screen;
    IFonts& fonts;
    IBitmaps& bitmaps;
    IApplication& application;
};

// Everything the spooler uses: the engine's services and its own.
struct SpoolerPlatform
{
    Platform engine;
    IRegistry& registry;
    IChangeNotifications& notifications;
    IFileAccess& files;
    IProcessEnvironment& environment;
    IWindowManager& windows;
    INotifyArea& notifyArea;
    // The journal of the batches the printer accepted, beside the registry file; empty:
    // kept in memory only.
    QString journalPath;
};
