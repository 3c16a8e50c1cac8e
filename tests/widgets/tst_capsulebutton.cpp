#include "testenvironment.h"
#include "widgets/capsulebutton.h"
#include "widgetsnapshot.h"

#include <QtTest>

#include <QPushButton>
#include <QStackedWidget>

namespace {
bool greenish(QRgb p)
{
    return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40;
}
bool reddish(QRgb p)
{
    return qRed(p) > qGreen(p) + 60 && qRed(p) > qBlue(p) + 60;
}
bool bluish(QRgb p)
{
    return qBlue(p) > qRed(p) + 40;
}
bool whitish(QRgb p)
{
    return qRed(p) > 230 && qGreen(p) > 230 && qBlue(p) > 230;
}
} // namespace

class TestCapsuleButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void formAndDefaults()
    {
        CapsuleButton capsule;
        auto *stack = capsule.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        QVERIFY(stack);
        QCOMPARE(capsule.startButton()->objectName(), QStringLiteral("pushButtonStart"));
        QCOMPARE(capsule.stopButton()->objectName(), QStringLiteral("pushButtonStop"));
        QCOMPARE(capsule.startButton()->parentWidget()->objectName(), QStringLiteral("pageStart"));
        QCOMPARE(capsule.stopButton()->parentWidget()->objectName(), QStringLiteral("pageStop"));
        QCOMPARE(capsule.startButton()->text(), QStringLiteral("PushButton"));
        QCOMPARE(capsule.stopButton()->text(), QStringLiteral("PushButton"));
        QCOMPARE(stack->currentWidget()->objectName(), QStringLiteral("pageStart"));
    }

    void stopCanBePressedOncePerStop()
    {
        CapsuleButton capsule;
        capsule.startButton()->setText(QStringLiteral("Scan Computer"));
        capsule.stopButton()->setText(QStringLiteral("Stop Scan"));
        QSignalSpy starts(capsule.startButton(), &QPushButton::clicked);
        QSignalSpy stops(capsule.stopButton(), &QPushButton::clicked);
        auto *stack = capsule.findChild<QStackedWidget *>(QStringLiteral("stackedWidget"));
        capsule.show();
        QVERIFY(QTest::qWaitForWindowExposed(&capsule));

        QTest::mouseClick(capsule.startButton(), Qt::LeftButton);
        QTest::mouseClick(capsule.startButton(), Qt::LeftButton);
        QCOMPARE(starts.count(), 2);

        capsule.showStartButton(false);
        QCOMPARE(stack->currentWidget(), capsule.stopButton()->parentWidget());
        QVERIFY(capsule.stopButton()->isEnabled());
        QTest::mouseClick(capsule.stopButton(), Qt::LeftButton);
        QCOMPARE(stops.count(), 1);
        QVERIFY(!capsule.stopButton()->isEnabled());
        QTest::mouseClick(capsule.stopButton(), Qt::LeftButton);
        QCOMPARE(stops.count(), 1);

        // Back to start: the stop button stays disabled until shown again.
        capsule.showStartButton(true);
        QCOMPARE(stack->currentWidget(), capsule.startButton()->parentWidget());
        QVERIFY(!capsule.stopButton()->isEnabled());
        capsule.showStartButton(false);
        QVERIFY(capsule.stopButton()->isEnabled());
        QTest::mouseClick(capsule.stopButton(), Qt::LeftButton);
        QCOMPARE(stops.count(), 2);
        QCOMPARE(starts.count(), 2);
    }

    void looksLikeACapsule_data()
    {
        QTest::addColumn<qreal>("scale");
        QTest::newRow("100 %") << 1.0;
        QTest::newRow("200 %") << 2.0;
    }
    void looksLikeACapsule()
    {
        QFETCH(qreal, scale);
        CapsuleButton capsule;
        capsule.startButton()->setText(QStringLiteral("Scan Computer"));
        capsule.stopButton()->setText(QStringLiteral("Stop Scan"));
        capsule.show();
        QVERIFY(QTest::qWaitForWindowExposed(&capsule));
        // A fixed width of 10em, at least 24 px of button plus the rim.
        QCOMPARE(capsule.minimumWidth(), capsule.maximumWidth());
        QVERIFY(capsule.width() >= 10 * capsule.fontMetrics().height() - 1);
        QVERIFY(capsule.startButton()->height() >= 24);

        const QString tag = QStringLiteral("capsule-%1").arg(QTest::currentDataTag());
        const QImage start = widgetSnapshot(&capsule, scale, tag + QStringLiteral("-start"));
        const int w = start.width();
        const int h = start.height();
        // Rounded ends: the corners stay clear, the middle is filled.
        QCOMPARE(qAlpha(start.pixel(0, 0)), 0);
        QCOMPARE(qAlpha(start.pixel(w - 1, h - 1)), 0);
        QCOMPARE(qAlpha(start.pixel(w / 2, h / 2)), 255);
        QVERIFY(countPixels(start, start.rect(), greenish) > w * h / 3);
        QVERIFY(countPixels(start, start.rect(), whitish) > 0);
        QCOMPARE(countPixels(start, start.rect(), reddish), 0);

        capsule.showStartButton(false);
        const QImage stop = widgetSnapshot(&capsule, scale, tag + QStringLiteral("-stop"));
        QVERIFY(countPixels(stop, stop.rect(), reddish) > w * h / 3);
        QCOMPARE(countPixels(stop, stop.rect(), greenish), 0);

        QTest::mousePress(capsule.stopButton(), Qt::LeftButton);
        const QImage pressed = widgetSnapshot(&capsule, scale, tag + QStringLiteral("-pressed"));
        QTest::mouseRelease(capsule.stopButton(), Qt::LeftButton);
        QVERIFY(countPixels(pressed, pressed.rect(), bluish) > w * h / 3);
    }
};

QTEST_MAIN(TestCapsuleButton)
#include "tst_capsulebutton.moc"
