// The icons `cmake --install` puts into the hicolor theme: every size there, each exactly the
// window's own artwork drawn at that size (not a scaled copy of another size).
#include "icons.h"

#include <QGuiApplication>
#include <QImage>
#include <QTest>

class TestInstalledIcons : public QObject {
    Q_OBJECT

private slots:
    void everySizeIsTheArtworkAtThatSize() {
        for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
            const QImage installed =
                QImage(QStringLiteral(VELTA_INSTALL_ROOT "/share/icons/hicolor/%1x%1/apps/velta-bootloader.png").arg(size))
                    .convertToFormat(QImage::Format_ARGB32);
            QCOMPARE(installed.size(), QSize(size, size));
            QVERIFY2(installed == Icons::tools(size).toImage().convertToFormat(QImage::Format_ARGB32), qPrintable(QString::number(size)));
            QCOMPARE(qAlpha(installed.pixel(0, 0)), 0); // transparent around the tools
        }
    }
};

QTEST_MAIN(TestInstalledIcons)
#include "test_installed_icons.moc"
