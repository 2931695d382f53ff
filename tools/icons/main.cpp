// Writes the program's icon at the sizes a desktop menu asks for, in the
// freedesktop layout: DIR/hicolor/NxN/apps/tarvex.png.
//
//   QT_QPA_PLATFORM=offscreen tarvex-icons DIR

#include "app/shell/AppIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tarvex-icons DIR\n");
        return 2;
    }
    for (int s : {16, 22, 24, 32, 48, 64, 128, 256}) {
        const QString dir = QStringLiteral("%1/hicolor/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(s);
        const QString file = dir + QStringLiteral("/tarvex.png");
        if (!QDir().mkpath(dir) || !TarvexIconPixmap(s).save(file, "PNG")) {
            std::fprintf(stderr, "tarvex-icons: cannot write %s\n", file.toLocal8Bit().constData());
            return 1;
        }
    }
    return 0;
}
