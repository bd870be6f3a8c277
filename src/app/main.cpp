#include "Main.h"

#include "platform/linux/LinuxPlatform.h"

#include <QApplication>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Pagello"));
    LinuxPlatform platform;
    return runSpooler(platform.spooler(), QCoreApplication::arguments().mid(1), true);
}
