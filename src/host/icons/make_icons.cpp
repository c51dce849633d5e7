// pelu-make-icons OUT_DIR SVG: writes PELU Browser's icon into OUT_DIR as the
// hicolor theme lays it out: hicolor/NxN/apps/pelu-browser.png for each size and
// the SVG as hicolor/scalable/apps/pelu-browser.svg.
#include "host/app_icon.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: pelu-make-icons OUT_DIR SVG\n");
        return 2;
    }
    // No screen is needed to draw into pictures.
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[1]) + QStringLiteral("/hicolor/");
    const QString name = QString::fromLatin1(pelu::host::kIconName);
    for (int size : pelu::host::kIconSizes) {
        const QString folder = root + QStringLiteral("%1x%1/apps/").arg(size);
        if (!QDir().mkpath(folder) || !pelu::host::paint_app_icon(size).save(folder + name + ".png", "PNG")) {
            std::fprintf(stderr, "pelu-make-icons: cannot write %s\n", qPrintable(folder + name + ".png"));
            return 1;
        }
    }
    const QString scalable = root + QStringLiteral("scalable/apps/");
    QDir().mkpath(scalable);
    QFile::remove(scalable + name + ".svg");
    if (!QFile::copy(QString::fromLocal8Bit(argv[2]), scalable + name + ".svg")) {
        std::fprintf(stderr, "pelu-make-icons: cannot copy %s\n", argv[2]);
        return 1;
    }
    return 0;
}
