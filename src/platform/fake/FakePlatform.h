#pragma once

#include "../IBitmaps.h"
#include "../IFonts.h"
#include "../IPrintDialog.h"
#include "../IScreen.h"
#include "../Platform.h"
#include "FakePrinters.h"

#include <QHash>

#include <deque>
#include <map>
#include <tuple>
#include <vector>

// The system print dialog as a test scripts it: each execute takes the next scripted
// answer (cancel when none is left) and records the options it was shown with.
class FakePrintDialog : public IPrintDialog
{
public:
    void scriptAnswer(std::optional<PrintDialogChoice> answer) { m_answers.push_back(answer); }
    const std::vector<PrintDialogOptions>& shown() const { return m_shown; }
    std::optional<PrintDialogChoice> execute(const PrintDialogOptions& options) override;

private:
    std::deque<std::optional<PrintDialogChoice>> m_answers;
    std::vector<PrintDialogOptions> m_shown;
};

class FakeScreen : public IScreen
{
public:
    explicit FakeScreen(int pixelsPerInch = 96)
        : m_ppi(pixelsPerInch)
    {}
    int pixelsPerInch() const override { return m_ppi; }
    void beginBusy() override;
    void endBusy() override;
    bool busy() const { return m_depth > 0; }
    int busyDepth() const { return m_depth; }
    int busyCount() const { return m_begun; }

private:
    int m_ppi;
    int m_depth = 0;
    int m_begun = 0;
};

// Fixed-pitch metrics: every glyph advances 0.6 em (the pitch of a typewriter face),
// bold or not, so layouts are exact without any font installed.
class FakeFonts : public IFonts
{
public:
    const OemCodePage& codePage() const override;
    const GlyphAdvances& advances(const FontSpec& font) override;
    QFont qfont(const FontSpec& font) const override;
    int measuredFonts() const { return static_cast<int>(m_cache.size()); }

private:
    std::map<int, GlyphAdvances> m_cache; // by pixel size
};

// Bitmaps from memory by path; a path never added fails to load.
class FakeBitmaps : public IBitmaps
{
public:
    void addBitmap(const QString& path, const QImage& image) { m_images.insert(path, image); }
    std::shared_ptr<const QImage> load(const QString& path) override;
    int loads() const { return m_loads; }

private:
    QHash<QString, QImage> m_images;
    int m_loads = 0;
};

// One of every fake, wired as a Platform.
struct FakePlatform
{
    FakePrinters printers;
    FakePrintDialog printDialog;
    FakeScreen screen;
    FakeFonts fonts;
    FakeBitmaps bitmaps;
    Platform platform() { return Platform{printers, printDialog, screen, fonts, bitmaps}; }
};
