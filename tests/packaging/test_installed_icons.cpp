// The icons that `cmake --install` puts into the hicolor theme: every size present, each the
// window's own artwork rendered at that size (not a scaled copy of another size), with a
// transparent background around opaque content.
#include "icons.h"

#include <QFile>
#include <QImage>
#include <QTest>

#include <cstdlib>

namespace {

const QList<int> kSizes = {16, 22, 24, 32, 48, 64, 128, 256};

QString iconPath(int size) {
    return QStringLiteral(VELTA_INSTALL_ROOT "/share/icons/hicolor/%1x%1/apps/velta-bootloader.png")
        .arg(size);
}

QImage loadIcon(int size) {
    QImage image(iconPath(size));
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Share of neighbouring pixel pairs whose colour or coverage jumps by more than a quarter of the
// range. Drawn edges stay one or two pixels wide at every size; a smooth upscale spreads each
// edge over many pixels, so its steps are small and this share collapses.
double sharpEdgeShare(const QImage& image) {
    qint64 sharp = 0, pairs = 0;
    auto jump = [](QRgb a, QRgb b) {
        return std::abs(qRed(a) - qRed(b)) > 64 || std::abs(qGreen(a) - qGreen(b)) > 64 ||
               std::abs(qBlue(a) - qBlue(b)) > 64 || std::abs(qAlpha(a) - qAlpha(b)) > 64;
    };
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb here = image.pixel(x, y);
            if (x + 1 < image.width()) {
                sharp += jump(here, image.pixel(x + 1, y));
                ++pairs;
            }
            if (y + 1 < image.height()) {
                sharp += jump(here, image.pixel(x, y + 1));
                ++pairs;
            }
        }
    }
    return pairs ? double(sharp) / double(pairs) : 0.0;
}

// Mean absolute difference per premultiplied channel, 0..255.
double meanDifference(const QImage& a, const QImage& b) {
    double sum = 0;
    for (int y = 0; y < a.height(); ++y) {
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            sum += std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                   std::abs(qBlue(p) - qBlue(q)) + std::abs(qAlpha(p) - qAlpha(q));
        }
    }
    return sum / (4.0 * a.width() * a.height());
}

} // namespace

class TestInstalledIcons : public QObject {
    Q_OBJECT

private slots:
    void everySize_data();
    void everySize();
    void largeIconIsNotAnUpscale();
};

void TestInstalledIcons::everySize_data() {
    QTest::addColumn<int>("size");
    for (int size : kSizes)
        QTest::newRow(qPrintable(QStringLiteral("%1x%1").arg(size))) << size;
}

void TestInstalledIcons::everySize() {
    QFETCH(int, size);
    QVERIFY2(QFile::exists(iconPath(size)), qPrintable(iconPath(size)));
    QImage raw(iconPath(size));
    QVERIFY2(!raw.isNull(), "not a readable PNG");
    QCOMPARE(raw.size(), QSize(size, size));
    QVERIFY2(raw.hasAlphaChannel(), "an icon without transparency shows a box on the desktop");

    const QImage image = loadIcon(size);
    const int last = size - 1;
    for (QPoint corner : {QPoint(0, 0), QPoint(last, 0), QPoint(0, last), QPoint(last, last)})
        QVERIFY2(
            qAlpha(image.pixel(corner)) == 0,
            qPrintable(QStringLiteral("corner %1,%2 is not transparent").arg(corner.x()).arg(corner.y())));
    qint64 opaque = 0;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x)
            opaque += qAlpha(image.pixel(x, y)) == 255;
    // The thin antialiased strokes leave few fully opaque pixels at 16 px: about 7 %.
    QVERIFY2(opaque * 20 >= qint64(size) * size,
             qPrintable(QStringLiteral("only %1 opaque pixels").arg(opaque)));

    // The very artwork the window shows, drawn at this size.
    const QImage drawn = Icons::tools(size, 1.0).toImage().convertToFormat(QImage::Format_ARGB32);
    QVERIFY2(raw.convertToFormat(QImage::Format_ARGB32) == drawn, "differs from Icons::tools() at this size");
}

void TestInstalledIcons::largeIconIsNotAnUpscale() {
    const QImage large = loadIcon(256);
    const QImage small = loadIcon(16);
    QVERIFY(!large.isNull() && !small.isNull());
    const QImage blurred = small.scaled(256, 256, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    const QImage blocky = small.scaled(256, 256, Qt::IgnoreAspectRatio, Qt::FastTransformation);

    const double fromBlurred = meanDifference(large, blurred);
    const double fromBlocky = meanDifference(large, blocky);
    const double sharpLarge = sharpEdgeShare(large);
    const double sharpBlurred = sharpEdgeShare(blurred);
    qInfo("256 vs 16 scaled up: mean difference %.1f (smooth), %.1f (blocky); sharp edge share %.4f vs "
          "%.4f (smooth)",
          fromBlurred, fromBlocky, sharpLarge, sharpBlurred);
    // Drawn at 256 both are about 14; a scaled copy of the 16 icon gives 0.5 or 9 on one of them.
    QVERIFY2(fromBlurred > 10.0, "the 256 icon looks like the 16 icon scaled up smoothly");
    QVERIFY2(fromBlocky > 10.0, "the 256 icon looks like the 16 icon scaled up pixel by pixel");
    // Drawn at 256 about 2 % of pixel pairs are crisp edges; a smooth upscale even from 64 px
    // has under 0.2 %.
    QVERIFY2(sharpLarge > 0.01 && sharpLarge > 4 * sharpBlurred,
             "the 256 icon has no more edge detail than a blurred upscale");
}

QTEST_MAIN(TestInstalledIcons)
#include "test_installed_icons.moc"
