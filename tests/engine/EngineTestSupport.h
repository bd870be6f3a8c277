#pragma once

#include "engine/PrevPrinter.h"
#include "platform/fake/FakePlatform.h"
#include "support/TestSupport.h"

#include <string>
#include <vector>

// An engine on the fake platform with one 600-dpi laser printer (unless told otherwise).
struct EngineFixture
{
    explicit EngineFixture(bool withPrinter = true, DeviceMetrics metrics = laser600())
    {
        if (withPrinter)
            fake.printers.addPrinter(QStringLiteral("Laser"), metrics);
    }
    FakePlatform fake;
    TPreviewPrinter engine{fake.platform()};
};

// A text record as the tests look at it.
struct TextRun
{
    int x = 0;
    int y = 0;
    int size = 0;
    bool bold = false;
    bool underline = false;
    std::string bytes;
    bool operator==(const TextRun&) const = default;
};

inline std::vector<TextRun> textRuns(const TMetafile& page)
{
    std::vector<TextRun> runs;
    for (const MetaRecord& r : page.records()) {
        if (r.op != RecordOp::Text)
            continue;
        const FontSpec& f = page.font(r);
        runs.push_back({r.x, r.y, f.size, f.bold(), f.underline(), std::string(page.bytes(r))});
    }
    return runs;
}

struct StatusEvent
{
    QString message;
    int pageNum;
    TStatusType type;
};

inline void recordStatus(TPreviewPrinter& engine, std::vector<StatusEvent>& events)
{
    engine.OnStatus = [&events](TPreviewPrinter&, const QString& msg, int page, TStatusType type) {
        events.push_back({msg, page, type});
    };
}

// "Line 1\r\n" ... "Line n\r\n".
inline std::string numberedLines(int count)
{
    std::string text;
    for (int i = 1; i <= count; ++i)
        text += "Line " + std::to_string(i) + "\r\n";
    return text;
}
