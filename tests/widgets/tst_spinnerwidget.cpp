#include "platform/clock.h"
#include "testenvironment.h"
#include "widgets/spinnerwidget.h"
#include "widgetsnapshot.h"

#include <QtTest>

#include <QImage>
#include <QPainter>
#include <QPixmap>

namespace {
bool isVisible(QRgb p)
{
    return qAlpha(p) > 0;
}

// Records the angle each time a tick reaches the spinner.
class TickRecorder : public QObject
{
public:
    explicit TickRecorder(SpinnerWidget *spinner) : m_spinner(spinner)
    {
        spinner->installEventFilter(this);
    }
    QList<int> angles;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == m_spinner && event->type() == QEvent::Timer)
            angles.append(m_spinner->angle());
        return false;
    }

private:
    SpinnerWidget *m_spinner;
};
} // namespace

class TestSpinnerWidget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }
    void cleanup() { Clock::resetTestSeam(); }

    void geometry_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<bool>("hasPixmap");
        QTest::addColumn<int>("outer");
        QTest::addColumn<int>("inner");
        QTest::addColumn<int>("capsuleHeight");
        QTest::addColumn<int>("capsuleWidth");
        QTest::addColumn<int>("capsuleRadius");
        QTest::addColumn<QPointF>("center");

        QTest::newRow("summary item 19")
            << QSize(19, 19) << false << 9 << 3 << 6 << 2 << 1 << QPointF(9.5, 9.5);
        QTest::newRow("large 64") << QSize(64, 64) << false << 31 << 12 << 19 << 4 << 2
                                  << QPointF(32, 32);
        QTest::newRow("default 13")
            << QSize(13, 13) << false << 6 << 2 << 4 << 1 << 0 << QPointF(6.5, 6.5);
        QTest::newRow("24 network panel")
            << QSize(24, 24) << false << 11 << 4 << 7 << 2 << 1 << QPointF(12, 12);
        // 32 is the last size with the wide capsules.
        QTest::newRow("32 wide capsules")
            << QSize(32, 32) << false << 15 << 6 << 9 << 3 << 1 << QPointF(16, 16);
        QTest::newRow("33 slim capsules")
            << QSize(33, 33) << false << 16 << 6 << 10 << 2 << 1 << QPointF(16.5, 16.5);
        QTest::newRow("wide rectangle uses height")
            << QSize(40, 24) << false << 11 << 4 << 7 << 2 << 1 << QPointF(20, 12);
        QTest::newRow("tall rectangle uses width")
            << QSize(19, 50) << false << 9 << 3 << 6 << 2 << 1 << QPointF(9.5, 25);
        QTest::newRow("empty") << QSize(0, 0) << false << 0 << 0 << 0 << 0 << 0 << QPointF(0, 0);
        QTest::newRow("one pixel")
            << QSize(1, 1) << false << 0 << 0 << 0 << 0 << 0 << QPointF(0.5, 0.5);

        // With a pixmap the spinner is half as large, in the bottom-right corner.
        QTest::newRow("pixmap 64")
            << QSize(64, 64) << true << 15 << 6 << 9 << 3 << 1 << QPointF(48, 48);
        QTest::newRow("pixmap 70")
            << QSize(70, 70) << true << 17 << 6 << 11 << 2 << 1 << QPointF(52.5, 52.5);
        QTest::newRow("pixmap 38")
            << QSize(38, 38) << true << 9 << 3 << 6 << 2 << 1 << QPointF(28.5, 28.5);
        QTest::newRow("pixmap wide")
            << QSize(100, 40) << true << 9 << 3 << 6 << 2 << 1 << QPointF(90, 30);
    }
    void geometry()
    {
        QFETCH(QSize, size);
        QFETCH(bool, hasPixmap);
        const SpinnerWidget::Geometry g =
            SpinnerWidget::geometryFor(QRect(QPoint(), size), hasPixmap);
        QTEST(g.outerRadius, "outer");
        QTEST(g.innerRadius, "inner");
        QTEST(g.capsuleHeight, "capsuleHeight");
        QTEST(g.capsuleWidth, "capsuleWidth");
        QTEST(g.capsuleRadius, "capsuleRadius");
        QTEST(g.center, "center");
        // Every capsule stays inside the painted square.
        QVERIFY(g.innerRadius + g.capsuleHeight <= g.outerRadius);
    }

    void shippedDefaults()
    {
        SpinnerWidget spinner;
        QCOMPARE(spinner.animationDelay(), 80);
        QCOMPARE(spinner.property("delay").toInt(), 80);
        QCOMPARE(spinner.property("displayedWhenStopped").toBool(), false);
        QCOMPARE(spinner.property("color").value<QColor>(), QColor(Qt::black));
        QCOMPARE(spinner.sizeHint(), QSize(13, 13));
        QCOMPARE(spinner.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(spinner.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(spinner.focusPolicy(), Qt::NoFocus);
        QVERIFY(!spinner.isAnimated());
        // Without the test seam a tick is the designed 80 ms.
        QCOMPARE(Clock::wait(spinner.animationDelay()), 80);
    }

    void propertiesWriteThroughTheSlots()
    {
        SpinnerWidget spinner;
        QVERIFY(spinner.setProperty("delay", 40));
        QVERIFY(spinner.setProperty("displayedWhenStopped", true));
        QVERIFY(spinner.setProperty("color", QColor(Qt::white)));
        QCOMPARE(spinner.animationDelay(), 40);
        QVERIFY(spinner.isDisplayedWhenStopped());
        QCOMPARE(spinner.color(), QColor(Qt::white));
        QVERIFY(!spinner.isAnimated());
    }

    void sizeFollowsSpinnerSize()
    {
        SpinnerWidget spinner;
        spinner.setSpinnerSize(19);
        QCOMPARE(spinner.sizeHint(), QSize(19, 19));
        QCOMPARE(spinner.heightForWidth(27), 27);
    }

    void turnsTwelveStepsPerRound()
    {
        Clock::setTestWaitDivisor(80);
        SpinnerWidget spinner;
        TickRecorder ticks(&spinner);
        spinner.startAnimation();
        QVERIFY(spinner.isAnimated());
        QTRY_VERIFY_WITH_TIMEOUT(ticks.angles.size() >= 14, 5000);
        spinner.stopAnimation();
        QCOMPARE(ticks.angles.first(), 0);
        for (int i = 1; i < ticks.angles.size(); ++i)
            QCOMPARE(ticks.angles.at(i), (ticks.angles.at(i - 1) + 30) % 360);
    }

    void startRewindsWithoutASecondTimer()
    {
        Clock::setTestWaitDivisor(80);
        SpinnerWidget spinner;
        TickRecorder ticks(&spinner);
        spinner.startAnimation();
        QTRY_VERIFY_WITH_TIMEOUT(spinner.angle() >= 60, 5000);
        spinner.startAnimation();
        QCOMPARE(spinner.angle(), 0);
        ticks.angles.clear();
        QTRY_VERIFY_WITH_TIMEOUT(ticks.angles.size() >= 6, 5000);
        // One timer: the angle moves one step per tick, never two ticks at once.
        for (int i = 1; i < ticks.angles.size(); ++i)
            QCOMPARE(ticks.angles.at(i), (ticks.angles.at(i - 1) + 30) % 360);
    }

    void stopFreezesTheAngle()
    {
        Clock::setTestWaitDivisor(80);
        SpinnerWidget stopped;
        SpinnerWidget witness;
        stopped.startAnimation();
        QTRY_VERIFY_WITH_TIMEOUT(stopped.angle() != 0, 5000);
        stopped.stopAnimation();
        QVERIFY(!stopped.isAnimated());
        const int frozen = stopped.angle();

        TickRecorder witnessTicks(&witness);
        TickRecorder stoppedTicks(&stopped);
        witness.startAnimation();
        QTRY_VERIFY_WITH_TIMEOUT(witnessTicks.angles.size() >= 10, 5000);
        QVERIFY(stoppedTicks.angles.isEmpty());
        QCOMPARE(stopped.angle(), frozen);
    }

    void delayChange_data()
    {
        QTest::addColumn<bool>("running");
        QTest::newRow("stopped stays stopped") << false;
        QTest::newRow("running keeps running") << true;
    }
    void delayChange()
    {
        QFETCH(bool, running);
        Clock::setTestWaitDivisor(80);
        SpinnerWidget spinner;
        TickRecorder ticks(&spinner);
        if (running)
            spinner.startAnimation();
        spinner.setAnimationDelay(160);
        QCOMPARE(spinner.animationDelay(), 160);
        QCOMPARE(spinner.isAnimated(), running);

        SpinnerWidget witness;
        TickRecorder witnessTicks(&witness);
        witness.startAnimation();
        QTRY_VERIFY_WITH_TIMEOUT(witnessTicks.angles.size() >= 20, 5000);
        if (running)
            QTRY_VERIFY_WITH_TIMEOUT(ticks.angles.size() >= 3, 5000);
        else
            QVERIFY(ticks.angles.isEmpty());
    }

    void refusedDelayLeavesItStartable()
    {
        SpinnerWidget spinner;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("negative intervals"));
        spinner.setAnimationDelay(-5);
        spinner.startAnimation();
        QVERIFY(!spinner.isAnimated());
        spinner.setAnimationDelay(80);
        spinner.startAnimation();
        QVERIFY(spinner.isAnimated());
    }

    void paintsOnlyWhenRunningOrAskedTo_data()
    {
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("displayedWhenStopped");
        QTest::addColumn<bool>("painted");
        QTest::newRow("stopped, hidden when stopped") << false << false << false;
        QTest::newRow("stopped, displayed when stopped") << false << true << true;
        QTest::newRow("running") << true << false << true;
    }
    void paintsOnlyWhenRunningOrAskedTo()
    {
        QFETCH(bool, running);
        QFETCH(bool, displayedWhenStopped);
        QFETCH(bool, painted);
        SpinnerWidget spinner;
        spinner.resize(19, 19);
        spinner.setDisplayedWhenStopped(displayedWhenStopped);
        if (running)
            spinner.startAnimation();
        for (qreal scale : {1.0, 2.0}) {
            const QImage image = widgetSnapshot(
                &spinner, scale, QStringLiteral("spinner-%1").arg(QTest::currentDataTag()));
            const int visible = countPixels(image, image.rect(), isVisible);
            QCOMPARE(visible > 0, painted);
        }
    }

    void capsulesTakeTheColorAndLeadAtTheAngle()
    {
        SpinnerWidget spinner;
        spinner.resize(64, 64);
        spinner.setDisplayedWhenStopped(true);
        spinner.setColor(Qt::red);
        const QImage image = widgetSnapshot(&spinner, 2.0, QStringLiteral("spinner-red-64"));
        // Only the colour's hue, never black.
        QCOMPARE(countPixels(image, image.rect(),
                             [](QRgb p) { return qAlpha(p) > 0 && (qGreen(p) || qBlue(p)); }),
                 0);
        // At angle 0 the opaque capsule points straight up; the trail fades
        // counter-clockwise, so the faintest capsule sits just clockwise of it.
        QCOMPARE(qAlpha(image.pixel(64, 20)), 255);
        QVERIFY(qAlpha(image.pixel(42, 27)) > 200);
        QVERIFY(qAlpha(image.pixel(85, 27)) > 0);
        QVERIFY(qAlpha(image.pixel(85, 27)) < 40);
        // The hole in the middle stays empty.
        QCOMPARE(qAlpha(image.pixel(64, 64)), 0);
    }

    void pixmapKeepsTheSpinnerInItsCorner()
    {
        QPixmap blue(64, 64);
        blue.fill(Qt::blue);
        SpinnerWidget spinner;
        spinner.setPixmap(blue);
        spinner.resize(64, 64);
        spinner.setColor(Qt::red);
        spinner.setDisplayedWhenStopped(true);
        for (qreal scale : {1.0, 2.0}) {
            const QImage image = widgetSnapshot(&spinner, scale, QStringLiteral("spinner-pixmap"));
            auto reddish = [](QRgb p) { return qRed(p) > 100; };
            const int half = static_cast<int>(32 * scale);
            // The pixmap is there, and red only over its bottom-right quarter.
            QCOMPARE(QColor(image.pixel(2, 2)), QColor(Qt::blue));
            QCOMPARE(countPixels(image, QRect(0, 0, 2 * half, half), reddish), 0);
            QCOMPARE(countPixels(image, QRect(0, 0, half, 2 * half), reddish), 0);
            QVERIFY(countPixels(image, QRect(half, half, half, half), reddish) > 0);
        }
    }
};

QTEST_MAIN(TestSpinnerWidget)
#include "tst_spinnerwidget.moc"
