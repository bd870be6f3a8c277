#include "RenderTool.h"

#include <QApplication>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    // A command-line tool must also run where there is no display (a terminal over ssh,
    // a build machine); with one, it uses it.
    if (!std::getenv("QT_QPA_PLATFORM") && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    std::ios::sync_with_stdio(false);
    return runRenderTool(QCoreApplication::arguments().mid(1), std::cout, std::cerr);
}
