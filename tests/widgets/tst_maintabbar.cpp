#include "testenvironment.h"
#include "widgets/maintabbar.h"
#include "widgets/spinnerwidget.h"
#include "widgetsnapshot.h"

#include <QtTest>

#include <QIcon>
#include <QImage>
#include <QLabel>

namespace {
constexpr int ProcessesTab = 1;
constexpr int FilesTab = 2;

bool fullyTransparent(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

// Premultiplied on both sides, as pixmaps keep their pixels.
QImage iconImage(const QIcon &icon, int edge, qreal scale)
{
    return icon.pixmap(QSize(edge, edge), scale)
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage resourceImage(const char *path)
{
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// "none", "blank" or "warning": what a tab's icon shows. The warning is the
// 16-pixel image, and the 32-pixel one on a screen of double density.
QString iconKind(const MainTabBar &bar, int tab)
{
    const QIcon icon = bar.tabIcon(tab);
    if (icon.isNull())
        return QStringLiteral("none");
    if (fullyTransparent(iconImage(icon, 13, 1.0)) && fullyTransparent(iconImage(icon, 13, 2.0)))
        return QStringLiteral("blank");
    if (iconImage(icon, 16, 1.0) == resourceImage(":warning_16x16.png") &&
        iconImage(icon, 16, 2.0) == resourceImage(":warning_32x32.png"))
        return QStringLiteral("warning");
    return QStringLiteral("other");
}

bool amber(QRgb p)
{
    return qRed(p) > 180 && qGreen(p) > 110 && qBlue(p) < 80;
}
bool nearBlack(QRgb p)
{
    return qGray(p) < 50;
}

// The main window's four tabs, with the alert icons set up.
struct Bar
{
    Bar()
    {
        for (const char *label : {"Summary", "Processes", "Files", "Removing Malware"})
            bar.addTab(QString::fromLatin1(label));
        bar.initAlertIcons();
    }
    MainTabBar bar;
};
} // namespace

class TestMainTabBar : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        TestEnvironment::init();
        Q_INIT_RESOURCE(resources);
    }

    void construction()
    {
        MainTabBar bar;
        QCOMPARE(bar.iconSize(), QSize(13, 13));
        const QList<SpinnerWidget *> spinners = bar.findChildren<SpinnerWidget *>();
        QCOMPARE(spinners.size(), 2);
        for (SpinnerWidget *spinner : spinners) {
            QVERIFY(spinner->isHidden());
            QVERIFY(!spinner->isDisplayedWhenStopped());
            QVERIFY(!spinner->isAnimated());
        }
    }

    void alertIconsStartBlank()
    {
        Bar f;
        QCOMPARE(iconKind(f.bar, 0), QStringLiteral("none"));
        QCOMPARE(iconKind(f.bar, ProcessesTab), QStringLiteral("blank"));
        QCOMPARE(iconKind(f.bar, FilesTab), QStringLiteral("blank"));
        QCOMPARE(iconKind(f.bar, 3), QStringLiteral("none"));
        for (int tab : {ProcessesTab, FilesTab}) {
            auto *label = qobject_cast<QLabel *>(f.bar.tabButton(tab, QTabBar::RightSide));
            QVERIFY(label);
            QCOMPARE(label->pixmap().size(), QSize(13, 13));
            QVERIFY(fullyTransparent(label->pixmap().toImage()));
            QCOMPARE(label->size(), QSize(13, 13));
        }
        QVERIFY(!f.bar.tabButton(0, QTabBar::RightSide));
        QVERIFY(!f.bar.tabButton(3, QTabBar::RightSide));
    }

    // Steps: "+path" a malware file found, "-path" one removed.
    void fileAlert_data()
    {
        QTest::addColumn<QStringList>("steps");
        QTest::addColumn<QString>("filesIcon");
        QTest::newRow("one file") << QStringList{"+/a"} << "warning";
        QTest::newRow("only file removed") << QStringList{"+/a", "-/a"} << "blank";
        QTest::newRow("two files, one removed") << QStringList{"+/a", "+/b", "-/a"} << "warning";
        QTest::newRow("two files, both removed")
            << QStringList{"+/a", "+/b", "-/b", "-/a"} << "blank";
        QTest::newRow("same path twice, removed once")
            << QStringList{"+/a", "+/a", "-/a"} << "warning";
        QTest::newRow("unknown path removed") << QStringList{"+/a", "-/x"} << "warning";
        QTest::newRow("removal with nothing found") << QStringList{"-/x"} << "blank";
        QTest::newRow("found again after clearing")
            << QStringList{"+/a", "-/a", "+/b"} << "warning";
    }
    void fileAlert()
    {
        QFETCH(QStringList, steps);
        Bar f;
        for (const QString &step : steps) {
            if (step.startsWith(QLatin1Char('+')))
                f.bar.malwareFileFound(step.mid(1));
            else
                f.bar.malwareFileRemoved(step.mid(1));
        }
        QTEST(iconKind(f.bar, FilesTab), "filesIcon");
        QCOMPARE(iconKind(f.bar, ProcessesTab), QStringLiteral("blank"));
    }

    void processAlertIsNeverTakenBack_data()
    {
        QTest::addColumn<bool>("module");
        QTest::newRow("process") << false;
        QTest::newRow("module") << true;
    }
    void processAlertIsNeverTakenBack()
    {
        QFETCH(bool, module);
        Bar f;
        if (module) {
            QTest::ignoreMessage(QtDebugMsg,
                                 "MainTabBar::malwareModuleFound( /usr/lib/libx.so, 4242 ) called");
            f.bar.malwareModuleFound(QStringLiteral("/usr/lib/libx.so"), 4242);
        } else {
            f.bar.malwareProcessFound(QStringLiteral("/usr/bin/x"), 4242);
        }
        QCOMPARE(iconKind(f.bar, ProcessesTab), QStringLiteral("warning"));
        QCOMPARE(iconKind(f.bar, FilesTab), QStringLiteral("blank"));

        // Nothing that touches the file alert or the spinners clears it.
        f.bar.malwareFileFound(QStringLiteral("/a"));
        f.bar.malwareFileRemoved(QStringLiteral("/a"));
        f.bar.processScanStarted();
        f.bar.processScanFinished();
        f.bar.updateFileAlert();
        QCOMPARE(iconKind(f.bar, ProcessesTab), QStringLiteral("warning"));
    }

    void spinnerPerTab_data()
    {
        QTest::addColumn<bool>("files");
        QTest::addColumn<int>("tab");
        QTest::addColumn<int>("otherTab");
        QTest::newRow("files") << true << FilesTab << ProcessesTab;
        QTest::newRow("processes") << false << ProcessesTab << FilesTab;
    }
    void spinnerPerTab()
    {
        QFETCH(bool, files);
        QFETCH(int, tab);
        QFETCH(int, otherTab);
        Bar f;
        f.bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.bar));
        const QRect before = f.bar.tabRect(tab);

        files ? f.bar.fileScanStarted() : f.bar.processScanStarted();
        auto *spinner = qobject_cast<SpinnerWidget *>(f.bar.tabButton(tab, QTabBar::RightSide));
        QVERIFY(spinner);
        QVERIFY(spinner->isVisible());
        QVERIFY(spinner->isAnimated());
        QCOMPARE(spinner->size(), QSize(13, 13));
        QVERIFY(f.bar.tabRect(tab).contains(spinner->geometry()));
        // The blank placeholder kept the room: the tab does not grow.
        QCOMPARE(f.bar.tabRect(tab), before);
        QVERIFY(qobject_cast<QLabel *>(f.bar.tabButton(otherTab, QTabBar::RightSide)));
        QVERIFY(!qobject_cast<SpinnerWidget *>(f.bar.tabButton(otherTab, QTabBar::RightSide)));

        files ? f.bar.fileScanFinished() : f.bar.processScanFinished();
        QVERIFY(!spinner->isAnimated());
        QVERIFY(!spinner->isVisible());
        QCOMPARE(f.bar.tabRect(tab), before);

        // A second scan uses the same spinner again.
        files ? f.bar.fileScanStarted() : f.bar.processScanStarted();
        QCOMPARE(f.bar.tabButton(tab, QTabBar::RightSide), spinner);
        QVERIFY(spinner->isVisible());
        QVERIFY(spinner->isAnimated());
    }

    void looksRight_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("100 %") << 1.0;
        QTest::newRow("200 %") << 2.0;
    }
    void looksRight()
    {
        QFETCH(qreal, scale);
        Bar f;
        // The tab look of the main window.
        f.bar.setStyleSheet(QStringLiteral(
            "QTabBar::tab { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 "
            "rgb(250,250,250), stop:1 rgb(222,224,230)); border: 1px solid rgb(160,160,160); "
            "min-width: 24ex; padding: 5px 8px; margin-top: 4px; }"));
        f.bar.setExpanding(false);
        f.bar.setDrawBase(false);
        f.bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.bar));
        f.bar.resize(f.bar.sizeHint());
        f.bar.malwareProcessFound(QStringLiteral("/usr/bin/x"), 7);
        f.bar.fileScanStarted();

        const QImage image = widgetSnapshot(
            &f.bar, scale, QStringLiteral("tabbar-%1").arg(QTest::currentDataTag()), Qt::white);
        auto scaled = [scale](const QRect &r) {
            return QRect((QRectF(r).topLeft() * scale).toPoint(), r.size() * scale);
        };
        const QRect processes = scaled(f.bar.tabRect(ProcessesTab));
        const QRect files = scaled(f.bar.tabRect(FilesTab));
        const QRect spinner = scaled(f.bar.tabButton(FilesTab, QTabBar::RightSide)->geometry());
        // The warning on the processes tab, none on the others.
        QVERIFY(countPixels(image, processes, amber) > 20 * scale * scale);
        QCOMPARE(countPixels(image, files, amber), 0);
        // The spinner's dark capsules inside its own square of the files tab, and
        // no text running into it.
        QVERIFY(files.contains(spinner));
        QVERIFY(countPixels(image, spinner, nearBlack) > 0);
        QVERIFY(countPixels(image, spinner, nearBlack) < spinner.width() * spinner.height() / 2);
    }

    void scanWithoutItsTabShowsNoLooseSpinner()
    {
        MainTabBar bar;
        bar.addTab(QStringLiteral("Summary"));
        bar.show();
        QVERIFY(QTest::qWaitForWindowExposed(&bar));
        bar.fileScanStarted();
        bar.processScanStarted();
        for (SpinnerWidget *spinner : bar.findChildren<SpinnerWidget *>())
            QVERIFY(!spinner->isVisible());
        bar.fileScanFinished();
        bar.processScanFinished();
    }
};

QTEST_MAIN(TestMainTabBar)
#include "tst_maintabbar.moc"
