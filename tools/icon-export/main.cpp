// Writes a program's icon as PNG files in the hicolor theme layout, drawn by the same vector
// code its window uses, so each size is rendered sharp rather than scaled from another. NAME
// picks the art: velta-bootloader (the window's tools) or velta-line (the station's belt).
//   velta-icon-export OUTPUT_DIR NAME SIZE...  ->  OUTPUT_DIR/<SIZE>x<SIZE>/apps/NAME.png
#include "app/icons.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>

int main(int argc, char* argv[]) {
    // Runs during the build, where there may be no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = QGuiApplication::arguments();
    if (args.size() < 4) {
        std::fprintf(stderr, "usage: velta-icon-export OUTPUT_DIR NAME SIZE...\n");
        return 2;
    }
    const QString outDir = args.at(1);
    const QString name = args.at(2);
    const auto art = name == QLatin1String("velta-line") ? Icons::station : Icons::tools;
    if (name != QLatin1String("velta-line") && name != QLatin1String("velta-bootloader")) {
        std::fprintf(stderr, "velta-icon-export: no art for '%s'\n", qPrintable(name));
        return 2;
    }
    for (qsizetype i = 3; i < args.size(); ++i) {
        bool ok = false;
        const int size = args.at(i).toInt(&ok);
        if (!ok || size < 1 || size > 4096) {
            std::fprintf(stderr, "velta-icon-export: bad size '%s'\n", qPrintable(args.at(i)));
            return 2;
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(outDir).arg(size);
        const QString file = QStringLiteral("%1/%2.png").arg(dir, name);
        const QImage image = art(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
        if (image.width() != size || image.height() != size || !QDir().mkpath(dir) ||
            !image.save(file, "PNG")) {
            std::fprintf(stderr, "velta-icon-export: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
