#include "testenvironment.h"

#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QSet>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

// Every image the application ships, by the path under the resource root.
const QList<QPair<QString, QSize>> &shippedImages()
{
    static const QList<QPair<QString, QSize>> images = {
        {"img/icons/WinOrvex/16.png", {16, 16}},
        {"img/icons/WinOrvex/22.png", {22, 22}},
        {"img/icons/WinOrvex/24.png", {24, 24}},
        {"img/icons/WinOrvex/32.png", {32, 32}},
        {"img/icons/WinOrvex/48.png", {48, 48}},
        {"img/icons/WinOrvex/64.png", {64, 64}},
        {"img/icons/WinOrvex/128.png", {128, 128}},
        {"img/icons/WinOrvex/256.png", {256, 256}},
        {"logo_red.png", {128, 128}},
        {"logo_red_shadow.png", {128, 128}},
        {"ok_64x64.png", {64, 64}},
        {"warning_16x16.png", {16, 16}},
        {"warning_32x32.png", {32, 32}},
        {"warning_64x64.png", {64, 64}},
        {"error_32x32.png", {32, 32}},
        {"retry_32x32.png", {32, 32}},
        {"gear_16x16.png", {16, 16}},
        {"gear_64x64.png", {64, 64}},
        {"greenled_16x16.png", {16, 16}},
        {"redled_16x16.png", {16, 16}},
        {"net_failed_32x32.png", {32, 32}},
        {"drive_16x16.png", {16, 16}},
        {"folder_16x16.png", {16, 16}},
        {"file_16x16.png", {16, 16}},
    };
    return images;
}

struct AlphaCount
{
    int opaque = 0;
    int transparent = 0;
};

AlphaCount countAlpha(const QImage &image)
{
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    AlphaCount count;
    for (int y = 0; y < argb.height(); ++y) {
        const auto *line = reinterpret_cast<const QRgb *>(argb.constScanLine(y));
        for (int x = 0; x < argb.width(); ++x) {
            const int alpha = qAlpha(line[x]);
            if (alpha == 255)
                ++count.opaque;
            else if (alpha == 0)
                ++count.transparent;
        }
    }
    return count;
}

// A usable icon: the size its name promises, a drawn shape, and a transparent
// background so that it sits on the coloured bars and tabs.
void verifyIcon(const QString &path, const QSize &size)
{
    QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path + " does not load"));
    QCOMPARE(image.size(), size);
    QVERIFY2(image.hasAlphaChannel(), qPrintable(path + " has no alpha channel"));
    const AlphaCount alpha = countAlpha(image);
    QVERIFY2(alpha.opaque > 0, qPrintable(path + " is blank"));
    QVERIFY2(alpha.transparent > 0, qPrintable(path + " has no transparent background"));
}

} // namespace

class TestResources : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void pathsAsTheViewsWriteThem_data();
    void pathsAsTheViewsWriteThem();

    void everyShippedImage_data();
    void everyShippedImage();

    void registeredImagesAreExactlyTheShippedOnes();

    void applicationIconSizesAreDistinctDrawings();
    void scalableIconIsWellFormed();

    void helpPageIsWellFormedAndItsAnchorsResolve();
    void helpPageDescribes_data();
    void helpPageDescribes();
    void licenseIsTheRepositorysLicense();
};

void TestResources::initTestCase()
{
    TestEnvironment::init();
    // The images are compiled into the static GUI library; nothing else would
    // pull their registration into this executable.
    Q_INIT_RESOURCE(resources);
}

void TestResources::pathsAsTheViewsWriteThem_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");

    // Both forms occur in the views: with and without a slash after the colon.
    const QList<QPair<QString, QSize>> paths = {
        {":/error_32x32.png", {32, 32}},
        {":/gear_16x16.png", {16, 16}},
        {":/ok_64x64.png", {64, 64}},
        {":/retry_32x32.png", {32, 32}},
        {":/warning_32x32.png", {32, 32}},
        {":/warning_64x64.png", {64, 64}},
        {":gear_64x64.png", {64, 64}},
        {":greenled_16x16.png", {16, 16}},
        {":img/icons/WinOrvex/16.png", {16, 16}},
        {":ok_64x64.png", {64, 64}},
        {":redled_16x16.png", {16, 16}},
        {":warning_16x16.png", {16, 16}},
        {":warning_64x64.png", {64, 64}},
    };
    for (const auto &[path, size] : paths)
        QTest::newRow(qPrintable(path)) << path << size;
}

void TestResources::pathsAsTheViewsWriteThem()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    verifyIcon(path, size);
}

void TestResources::everyShippedImage_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    for (const auto &[name, size] : shippedImages()) {
        QTest::newRow(qPrintable(":/" + name)) << ":/" + name << size;
        QTest::newRow(qPrintable(":" + name)) << ":" + name << size;
    }
}

void TestResources::everyShippedImage()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    verifyIcon(path, size);
}

void TestResources::registeredImagesAreExactlyTheShippedOnes()
{
    QSet<QString> expected;
    for (const auto &image : shippedImages())
        expected.insert(image.first);

    // Qt registers a few resources of its own; only our root-level images and
    // the application icon folder are ours.
    QSet<QString> registered;
    QDirIterator it(":/", {"*.png"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString name = it.next().mid(2);
        if (!name.startsWith("qt-project.org/"))
            registered.insert(name);
    }
    QCOMPARE(registered, expected);
}

void TestResources::applicationIconSizesAreDistinctDrawings()
{
    // The small application icons are drawn for their size: the 16 px one is a
    // plain check on the shield, not the 32 px magnifier scaled down. Scaling
    // the 32 px drawing must therefore give a visibly different picture.
    const QImage small =
        QImage(":/img/icons/WinOrvex/16.png").convertToFormat(QImage::Format_ARGB32);
    const QImage scaled = QImage(":/img/icons/WinOrvex/32.png")
                              .scaled(16, 16, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                              .convertToFormat(QImage::Format_ARGB32);
    QVERIFY(!small.isNull());
    QVERIFY(!scaled.isNull());
    int differing = 0;
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            const QRgb a = small.pixel(x, y);
            const QRgb b = scaled.pixel(x, y);
            if (qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) >
                96)
                ++differing;
        }
    }
    QVERIFY2(differing >= 24, qPrintable(QString::number(differing) + " pixels differ"));
}

void TestResources::scalableIconIsWellFormed()
{
    // The desktop entry's scalable icon is installed as it is; a broken file
    // shows as a blank icon in the menus.
    QFile file(WINORVEX_RESOURCES_DIR "/winorvex.svg");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    QString viewBox;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == u"svg")
            viewBox = xml.attributes().value("viewBox").toString();
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QCOMPARE(viewBox, QString("0 0 256 256"));
}

void TestResources::helpPageIsWellFormedAndItsAnchorsResolve()
{
    // Read as XML: an unclosed element would let the viewer swallow the rest of
    // the page.
    QFile file(QStringLiteral(":/doc/help.html"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray page = file.readAll();
    page.replace("<!DOCTYPE html>", "");
    page.replace("&nbsp;", "&#160;");
    page.replace("&middot;", "&#183;");
    QXmlStreamReader xml(page);
    QSet<QString> anchors;
    QStringList links;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        const QXmlStreamAttributes attributes = xml.attributes();
        for (const char *name : {"id", "name"})
            if (attributes.hasAttribute(QLatin1String(name)))
                anchors.insert(attributes.value(QLatin1String(name)).toString());
        if (xml.name() == u"a" && attributes.hasAttribute(QLatin1String("href")))
            links << attributes.value(QLatin1String("href")).toString();
    }
    QVERIFY2(
        !xml.hasError(),
        qPrintable(QStringLiteral("line %1: %2").arg(xml.lineNumber()).arg(xml.errorString())));
    QVERIFY(!links.isEmpty());
    for (const QString &link : std::as_const(links)) {
        // Nothing outside: the page must be readable without a network.
        QVERIFY2(link.startsWith(u'#'), qPrintable(link));
        QVERIFY2(anchors.contains(link.mid(1)), qPrintable(link + " leads nowhere"));
    }
}

void TestResources::helpPageDescribes_data()
{
    QTest::addColumn<QString>("text");
    for (const char *text :
         {"WINORVEX_REGISTRY", "WINORVEX_UPDATE_SERVER", "WINORVEX_REPORT_SERVER",
          "WINORVEX_UPLOAD_SERVER", "--scan", "--quick", "--format", "/minimize",
          "Malware detected.", "Not detected as malware.", "Unable to open file.", "Quick Scan",
          "Full Scan", "Retry"})
        QTest::newRow(text) << QString::fromLatin1(text);
}

void TestResources::helpPageDescribes()
{
    QFETCH(QString, text);
    QFile file(QStringLiteral(":/doc/help.html"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(QString::fromUtf8(file.readAll()).contains(text));
}

void TestResources::licenseIsTheRepositorysLicense()
{
    QFile shipped(QStringLiteral(":/doc/LICENSE"));
    QVERIFY(shipped.open(QIODevice::ReadOnly));
    QFile repository(WINORVEX_RESOURCES_DIR "/../LICENSE");
    QVERIFY(repository.open(QIODevice::ReadOnly));
    const QByteArray text = shipped.readAll();
    QCOMPARE(text, repository.readAll());
    QVERIFY(text.contains("GNU GENERAL PUBLIC LICENSE"));
    QVERIFY(text.contains("Version 3, 29 June 2007"));
}

QTEST_MAIN(TestResources)
#include "tst_resources.moc"
