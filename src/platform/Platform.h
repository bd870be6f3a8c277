#pragma once

class IPrinters;
class IPrintDialog;
class IScreen;
class IFonts;
class IBitmaps;
class IApplication;

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
