#include "testenvironment.h"
#include "widgets/shadowlabel.h"
#include "widgetsnapshot.h"

#include <QtTest>

namespace {
const QColor Background(128, 128, 128);

// Pixels much lighter, respectively much darker, than the grey background.
bool light(QRgb p)
{
    return qGray(p) > 200;
}
bool dark(QRgb p)
{
    return qGray(p) < 60;
}
bool notBackground(QRgb p)
{
    return QColor(p) != Background;
}
bool darker(QRgb p)
{
    return qGray(p) < Background.red();
}
bool lighter(QRgb p)
{
    return qGray(p) > Background.red();
}

// Lowest image row holding a matching pixel, -1 if none.
int lowestRow(const QImage &image, bool (*match)(QRgb))
{
    for (int y = image.height() - 1; y >= 0; --y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixel(x, y)))
                return y;
    return -1;
}

int highestRow(const QImage &image, bool (*match)(QRgb))
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (match(image.pixel(x, y)))
                return y;
    return -1;
}
} // namespace

class TestShadowLabel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void shadowBelowTheText_data()
    {
        QTest::addColumn<QString>("styleSheet");
        QTest::addColumn<bool>("whiteText");
        QTest::addColumn<qreal>("scale");
        for (qreal scale : {1.0, 2.0}) {
            const int percent = static_cast<int>(scale * 100);
            QTest::addRow("white text, black shadow %d", percent)
                << "color: white;" << true << scale;
            QTest::addRow("black text, light shadow %d", percent)
                << "color: black;" << false << scale;
            QTest::addRow("dark text, light shadow %d", percent)
                << "color: rgb(20, 20, 40);" << false << scale;
        }
    }
    void shadowBelowTheText()
    {
        QFETCH(QString, styleSheet);
        QFETCH(bool, whiteText);
        QFETCH(qreal, scale);
        QFont font;
        font.setPointSize(16);
        font.setBold(true);
        ShadowLabel label;
        QLabel plain;
        for (QLabel *l : {static_cast<QLabel *>(&label), &plain}) {
            l->setStyleSheet(styleSheet);
            l->setFont(font);
            l->setText(QStringLiteral("Files On Computer"));
            l->resize(l->sizeHint() + QSize(4, 6));
        }

        const QImage shadowed = widgetSnapshot(
            &label, scale, QStringLiteral("shadowlabel-%1").arg(QTest::currentDataTag()),
            Background);
        const QImage reference =
            widgetSnapshot(&plain, scale, QStringLiteral("plainlabel"), Background);
        const int step = static_cast<int>(scale);
        // The text sits where a plain label draws it; the shadow adds exactly one
        // (scaled) pixel row below, in the shadow's colour.
        QCOMPARE(highestRow(shadowed, notBackground), highestRow(reference, notBackground));
        const int textBottom = lowestRow(reference, notBackground);
        QVERIFY(textBottom > 0);
        QCOMPARE(lowestRow(shadowed, notBackground), textBottom + step);
        const QRect below(0, textBottom + 1, shadowed.width(), step);
        const int belowCount = countPixels(shadowed, below, notBackground);
        QVERIFY(belowCount > 0);
        QCOMPARE(countPixels(shadowed, below, whiteText ? darker : lighter), belowCount);
        // Over the shadow, the glyphs keep their own colour.
        QVERIFY(countPixels(shadowed, shadowed.rect(), whiteText ? light : dark) > 0);
    }

    void alignmentIsKept_data()
    {
        QTest::addColumn<int>("alignment");
        QTest::addColumn<bool>("textOnTheLeft");
        QTest::newRow("left") << int(Qt::AlignLeft | Qt::AlignVCenter) << true;
        QTest::newRow("right") << int(Qt::AlignRight | Qt::AlignVCenter) << false;
    }
    void alignmentIsKept()
    {
        QFETCH(int, alignment);
        QFETCH(bool, textOnTheLeft);
        ShadowLabel label;
        label.setStyleSheet(QStringLiteral("color: white;"));
        label.setText(QStringLiteral("Processes"));
        label.setAlignment(Qt::Alignment(alignment));
        label.resize(label.sizeHint().width() * 3, label.sizeHint().height() + 4);
        const QImage image =
            widgetSnapshot(&label, 1.0, QStringLiteral("shadowlabel-aligned"), Background);
        const int third = image.width() / 3;
        const int left = countPixels(image, QRect(0, 0, third, image.height()), light);
        const int right = countPixels(image, QRect(2 * third, 0, third, image.height()), light);
        QCOMPARE(left > 0, textOnTheLeft);
        QCOMPARE(right > 0, !textOnTheLeft);
    }

    // Repainting part of the label, as when a window uncovers it, must draw the
    // same pixels there as a full repaint.
    void partialRepaintMatchesFullRepaint()
    {
        ShadowLabel label;
        label.setStyleSheet(QStringLiteral("color: white;"));
        label.setText(QStringLiteral("Files On Computer"));
        label.resize(label.sizeHint() + QSize(4, 6));

        const QImage full =
            widgetSnapshot(&label, 1.0, QStringLiteral("shadowlabel-full"), Background);
        const QRect rightHalf(label.width() / 2, 0, label.width() - label.width() / 2,
                              label.height());
        QImage partial(label.size(), QImage::Format_ARGB32);
        partial.fill(Background);
        label.render(&partial, rightHalf.topLeft(), QRegion(rightHalf), QWidget::DrawChildren);
        QVERIFY(countPixels(partial, rightHalf, light) > 0);
        QCOMPARE(partial.copy(rightHalf), full.copy(rightHalf));
    }
};

QTEST_MAIN(TestShadowLabel)
#include "tst_shadowlabel.moc"
