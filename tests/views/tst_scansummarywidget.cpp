#include "testenvironment.h"
#include "views/scansummarywidget.h"

#include <QtTest>

#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QTextDocumentFragment>

namespace {
QLabel *label(ScanSummaryWidget &widget, const char *name)
{
    return widget.findChild<QLabel *>(QLatin1String(name));
}

QFrame *frame(ScanSummaryWidget &widget)
{
    return widget.findChild<QFrame *>(QStringLiteral("frame"));
}

// The colour of the banner's background, away from its border and labels.
QColor background(ScanSummaryWidget &widget)
{
    widget.resize(400, 40);
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(Qt::black);
    widget.render(&image);
    return image.pixelColor(3, 3);
}

bool close(const QColor &a, const QColor &b)
{
    return qAbs(a.red() - b.red()) < 4 && qAbs(a.green() - b.green()) < 4 &&
           qAbs(a.blue() - b.blue()) < 4;
}

const QColor Blue(0, 170, 255);
const QColor Orange(255, 152, 1);
} // namespace

class tst_ScanSummaryWidget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void construction()
    {
        ScanSummaryWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        QVERIFY(label(widget, "label_icon"));
        QCOMPARE(label(widget, "label_summary")->text(), QStringLiteral("Summary text."));
        QVERIFY(label(widget, "label_dismiss")->isHidden());
        QVERIFY(frame(widget)->styleSheet().isEmpty());
        QVERIFY2(close(background(widget), Blue), qPrintable(background(widget).name()));
    }

    void eachSlotShowsTheBanner_data()
    {
        QTest::addColumn<int>("slot");
        QTest::newRow("summary") << 0;
        QTest::newRow("icon") << 1;
        QTest::newRow("statistics") << 2;
    }
    void eachSlotShowsTheBanner()
    {
        QFETCH(int, slot);
        QWidget parent;
        auto *widget = new ScanSummaryWidget(&parent);
        parent.show();
        widget->hide();
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::red);
        if (slot == 0)
            widget->showScanSummary(QStringLiteral("The scan took 0 seconds."));
        else if (slot == 1)
            widget->showScanIcon(pixmap);
        else
            widget->showScanStatistics(0);
        QVERIFY(widget->isVisible());
    }

    void summaryAndIcon()
    {
        ScanSummaryWidget widget;
        const QString sentence = QStringLiteral(
            "The scan of \"setup.exe\" took 1 second and it is <b>not </b>malicious.");
        widget.showScanSummary(sentence);
        QLabel *summary = label(widget, "label_summary");
        QCOMPARE(summary->textFormat(), Qt::RichText);
        QCOMPARE(summary->text(), QStringLiteral("The scan of &quot;setup.exe&quot; took 1 "
                                                 "second and it is <b>not </b>malicious."));

        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::green);
        widget.showScanIcon(pixmap);
        QCOMPARE(label(widget, "label_icon")->pixmap().toImage().pixelColor(8, 8),
                 QColor(Qt::green));

        // A scan whose items had no icon gives a null pixmap: no picture, no crash.
        QPixmap none;
        widget.showScanIcon(none);
        QVERIFY(label(widget, "label_icon")->pixmap().isNull());
    }

    // Linux names may hold markup characters; they show as written, and only
    // the sentence's own bold tags are markup.
    void namesAreNotMarkup_data()
    {
        QTest::addColumn<QString>("sentence");
        QTest::addColumn<QString>("shown");
        QTest::newRow("tags in a folder name")
            << QStringLiteral("The Full Scan of the directory \"/tmp/<i>x</i>\" was aborted after "
                              "2 seconds.")
            << QStringLiteral("The Full Scan of the directory \"/tmp/<i>x</i>\" was aborted after "
                              "2 seconds.");
        QTest::newRow("image tag")
            << QStringLiteral("The scan of \"<img src=/etc/x.png>\" took 0 seconds and it is "
                              "<b>not </b>malicious.")
            << QStringLiteral("The scan of \"<img src=/etc/x.png>\" took 0 seconds and it is not "
                              "malicious.");
        QTest::newRow("ampersand entity")
            << QStringLiteral("The scan of \"a&amp;b\" took 0 seconds and it is <b></b>malicious.")
            << QStringLiteral("The scan of \"a&amp;b\" took 0 seconds and it is malicious.");
    }
    void namesAreNotMarkup()
    {
        QFETCH(QString, sentence);
        QFETCH(QString, shown);
        ScanSummaryWidget widget;
        widget.showScanSummary(sentence);
        const QString html = label(widget, "label_summary")->text();
        QCOMPARE(QTextDocumentFragment::fromHtml(html).toPlainText(), shown);
        QVERIFY(!html.contains(QLatin1String("<img")));
        QVERIFY(!html.contains(QLatin1String("<i>")));
    }

    void statisticsColourTheBanner_data()
    {
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<bool>("orange");
        QTest::newRow("none found") << QList<int>{0} << false;
        QTest::newRow("one found") << QList<int>{1} << true;
        QTest::newRow("three found") << QList<int>{3} << true;
        QTest::newRow("orange back to blue") << QList<int>{3, 0} << false;
        QTest::newRow("blue to orange") << QList<int>{0, 2} << true;
        // A count below zero (rows cleared during the scan) found nothing.
        QTest::newRow("negative") << QList<int>{-1} << false;
    }
    void statisticsColourTheBanner()
    {
        QFETCH(QList<int>, counts);
        QFETCH(bool, orange);
        ScanSummaryWidget widget;
        widget.show();
        QVERIFY(QTest::qWaitForWindowExposed(&widget));
        for (int count : counts) {
            QTest::ignoreMessage(
                QtDebugMsg,
                qPrintable(QStringLiteral("ScanSummaryWidget::showScanStatistics( %1 ) called")
                               .arg(count)));
            widget.showScanStatistics(count);
        }
        QCOMPARE(frame(widget)->styleSheet(),
                 orange ? QStringLiteral("background-color: rgb( 255, 152, 1 );") : QString());
        const QColor shown = background(widget);
        QVERIFY2(close(shown, orange ? Orange : Blue), qPrintable(shown.name()));
    }

    void dismissHides()
    {
        QWidget parent;
        auto *widget = new ScanSummaryWidget(&parent);
        parent.show();
        widget->showScanSummary(QStringLiteral("x"));
        QVERIFY(widget->isVisible());
        Q_EMIT label(*widget, "label_dismiss")->linkActivated(QStringLiteral("#"));
        QVERIFY(!widget->isVisible());
    }
};

QTEST_MAIN(tst_ScanSummaryWidget)
#include "tst_scansummarywidget.moc"
