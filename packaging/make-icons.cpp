// Build-time helper: writes the program's icon, the window icon's picture, as PNG files
// in the layout of an icon theme: make-icons DIR SIZE... gives DIR/SIZExSIZE/apps/pagello.png.

#include "Glyphs.h"

#include <QDir>
#include <QImage>
#include <QString>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s DIR SIZE...\n", argv[0]);
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        char* end = nullptr;
        const long size = std::strtol(argv[i], &end, 10);
        if (*end != '\0' || size < 1 || size > 1024) {
            std::fprintf(stderr, "%s: bad size '%s'\n", argv[0], argv[i]);
            return 2;
        }
        const QString dir = root.filePath(QStringLiteral("%1x%1/apps").arg(size));
        const QString file = dir + QStringLiteral("/pagello.png");
        if (!QDir().mkpath(dir) || !Glyphs::windowIconImage(static_cast<int>(size)).save(file, "PNG")) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(file));
            return 1;
        }
    }
    return 0;
}
