// The program's icon: the PNGs built into the program are the SVG as rsvg-convert renders it
// at every size, and the version dialog's picture box shows it.
#include "gui/icon/app_icon.h"
#include "gui/info/frm_ver.h"

#include <QImage>
#include <QLabel>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

class TestAppIcon : public QObject
{
    Q_OBJECT
private slots:
    void everySizeIsTheDrawing()
    {
        const QString svg = qEnvironmentVariable("KEZ_SOURCE_DIR") + "/src/gui/icon/kezmailer.svg";
        QTemporaryDir dir;
        // Compared premultiplied, as a pixmap holds them: the edges of the drawing are partly
        // transparent.
        const QIcon icon = shell::applicationIcon();
        QVERIFY(!icon.isNull());
        for (int size : shell::kIconSizes) {
            const QString png = dir.filePath(QString("%1.png").arg(size));
            QCOMPARE(
                QProcess::execute("rsvg-convert", {"--width", QString::number(size), "--height",
                                                   QString::number(size), "--output", png, svg}),
                0);
            const QImage expected =
                QImage(png).convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QVERIFY(!expected.isNull());
            const QImage built = icon.pixmap(QSize(size, size))
                                     .toImage()
                                     .convertToFormat(QImage::Format_ARGB32_Premultiplied);
            QCOMPARE(built.size(), QSize(size, size));
            QVERIFY2(built == expected, qPrintable(QString("%1 px").arg(size)));
        }
    }

    void versionDialogShowsIt()
    {
        frmVer dialog;
        const QPixmap shown = dialog.picIcon->pixmap();
        QVERIFY(!shown.isNull());
        QCOMPARE(shown.toImage(),
                 shell::applicationIcon().pixmap(dialog.picIcon->size()).toImage());
    }
};

QTEST_MAIN(TestAppIcon)
#include "test_app_icon.moc"
