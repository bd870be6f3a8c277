#pragma once

#include <QByteArray>

#include <benchmark/benchmark.h>

#include <cstdlib>

// The main of a benchmark that needs a Qt application object (fonts, widgets) but no
// display: Application is QGuiApplication or QApplication.
template <typename Application> int runOffscreenBenchmarks(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    // The offscreen platform notes every window it cannot size; not news here.
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    Application app(argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
