#include "Main.h"

#include "platform/linux/LinuxPlatform.h"

#include <QApplication>

int main(int argc, char** argv)
{
    // Answered before anything needs a display.
    if (argc > 1 && answerInfoSwitch({QString::fromLocal8Bit(argv[1])}))
        return 0;
    // Where an X display exists the program runs on it, also in a Wayland session.
    const QByteArray platformName = chooseQtPlatform([](const char* name) { return qgetenv(name); });
    if (!platformName.isEmpty())
        qputenv("QT_QPA_PLATFORM", platformName);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagello"));
    LinuxPlatform platform;
    return runSpooler(platform.spooler(), QCoreApplication::arguments().mid(1), true);
}
