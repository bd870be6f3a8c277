#include "Main.h"

#include "platform/linux/LinuxPlatform.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // Answered before anything needs a display.
    if (argc > 1 && answerInfoSwitch({QString::fromLocal8Bit(argv[1])}))
        return 0;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagello"));
    LinuxPlatform platform;
    return runSpooler(platform.spooler(), QCoreApplication::arguments().mid(1));
}
