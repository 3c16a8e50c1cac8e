#include "platform/filename.h"
#include "platform/filestatus.h"
#include "testenvironment.h"
#include "widgets/filedroparea.h"
#include "widgetsnapshot.h"

#include <QtTest>

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QLabel>
#include <QMimeData>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
bool bluish(QRgb p)
{
    return qBlue(p) > 200 && qRed(p) < 60;
}
bool whitish(QRgb p)
{
    return qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240;
}
bool greyish(QRgb p)
{
    return qAbs(qRed(p) - qBlue(p)) < 8 && qRed(p) > 90 && qRed(p) < 190;
}

QList<QString> paths(const QList<QFileInfo> &items)
{
    QList<QString> out;
    for (const QFileInfo &info : items)
        out << info.filePath();
    return out;
}

// A real drag over the area: enter, then drop or leave.
struct Drag
{
    explicit Drag(QMimeData *data) : mime(data) {}
    bool enter(QWidget *target)
    {
        QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, mime.get(),
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
        action = event.dropAction();
        return event.isAccepted();
    }
    bool drop(QWidget *target)
    {
        QDropEvent event(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, mime.get(),
                         Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
        action = event.dropAction();
        return event.isAccepted();
    }
    void leave(QWidget *target)
    {
        QDragLeaveEvent event;
        QCoreApplication::sendEvent(target, &event);
    }
    std::unique_ptr<QMimeData> mime;
    Qt::DropAction action = Qt::IgnoreAction;
};

QMimeData *urlData(const QList<QUrl> &urls)
{
    auto *data = new QMimeData;
    data->setUrls(urls);
    return data;
}

QMimeData *textData(const QString &text)
{
    auto *data = new QMimeData;
    data->setText(text);
    return data;
}

bool highlighted(FileDropArea &area)
{
    auto *frame = area.findChild<QFrame *>(QStringLiteral("frame"));
    auto *label = area.findChild<QLabel *>(QStringLiteral("label"));
    return frame->styleSheet().contains(QLatin1String("border-color: white;")) &&
           label->styleSheet() == QLatin1String("color: white;");
}
} // namespace

class TestFileDropArea : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void form()
    {
        FileDropArea area(nullptr);
        QVERIFY(area.acceptDrops());
        auto *label = area.findChild<QLabel *>(QStringLiteral("label"));
        QVERIFY(area.findChild<QFrame *>(QStringLiteral("frame")));
        QVERIFY(label);
        QCOMPARE(label->text(), QStringLiteral("Drop files or folders here to scan."));
        QVERIFY(label->wordWrap());
        QCOMPARE(label->alignment(), Qt::AlignCenter);
        QCOMPARE(label->font().pointSize(), 14);
        QVERIFY(label->font().bold());
    }

    void dropOfFileUrlsEmitsTheExistingItems()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString file = dir.filePath(QStringLiteral("sample | with bar.exe"));
        const QString folder = dir.filePath(QStringLiteral("folder"));
        const QString pipe = dir.filePath(QStringLiteral("pipe"));
        const QString missing = dir.filePath(QStringLiteral("missing"));
        {
            QFile f(file);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }
        QVERIFY(QDir().mkdir(folder));
        QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);

        FileDropArea area(nullptr);
        QSignalSpy dropped(&area, &FileDropArea::itemsDropped);
        Drag drag(urlData({QUrl::fromLocalFile(file), QUrl::fromLocalFile(missing),
                           QUrl(QStringLiteral("https://example.invalid/x.exe")),
                           QUrl::fromLocalFile(pipe), QUrl::fromLocalFile(folder)}));
        QVERIFY(drag.enter(&area));
        QCOMPARE(drag.action, Qt::CopyAction);
        QVERIFY(highlighted(area));

        QTest::ignoreMessage(QtDebugMsg, "FileDropArea::dropEvent() called");
        QTest::ignoreMessage(
            QtDebugMsg,
            qPrintable(QStringLiteral("FileDropArea::dropEvent() accepted item '%1'").arg(file)));
        QVERIFY(drag.drop(&area));
        QCOMPARE(drag.action, Qt::CopyAction);
        QVERIFY(!highlighted(area));
        QCOMPARE(dropped.count(), 1);
        const auto items = dropped.at(0).at(0).value<QList<QFileInfo>>();
        QCOMPARE(paths(items), (QList<QString>{file, folder}));
        QVERIFY(items.at(0).isFile());
        QVERIFY(items.at(1).isDir());
    }

    // A dropped URL names its file by its percent-encoded bytes, which a name
    // that is not UTF-8 needs whole; a symbolic link loop is nothing to scan.
    void dropKeepsEveryByteOfTheName()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QByteArray raw = QFile::encodeName(dir.path()) + "/caf\xe9.exe";
        const int fd = ::open(raw.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        ::close(fd);
        const auto removeRaw = qScopeGuard([&raw] { ::unlink(raw.constData()); });
        const QString loop = dir.filePath(QStringLiteral("loop"));
        QVERIFY(QFile::link(loop + QStringLiteral("2"), loop));
        QVERIFY(QFile::link(loop, loop + QStringLiteral("2")));

        FileDropArea area(nullptr);
        QSignalSpy dropped(&area, &FileDropArea::itemsDropped);
        Drag drag(urlData({QUrl::fromEncoded("file://" + raw.toPercentEncoding("/")),
                           QUrl::fromLocalFile(loop)}));
        QVERIFY(drag.enter(&area));
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable(QStringLiteral("FileDropArea::dropEvent() accepted item "
                                                       "'%1/caf\\xe9.exe'")
                                            .arg(dir.path())));
        QVERIFY(drag.drop(&area));
        QCOMPARE(dropped.count(), 1);
        const auto items = dropped.at(0).at(0).value<QList<QFileInfo>>();
        QCOMPARE(paths(items), QList<QString>{FileName::fromBytes(raw)});
        QVERIFY(FileStatus::of(items.at(0).filePath()).isRegular());
    }

    void dropOfNothingUsableEmitsAnEmptyList()
    {
        QTemporaryDir dir;
        FileDropArea area(nullptr);
        QSignalSpy dropped(&area, &FileDropArea::itemsDropped);
        Drag drag(urlData({QUrl::fromLocalFile(dir.filePath(QStringLiteral("gone")))}));
        QVERIFY(drag.enter(&area));
        QVERIFY(drag.drop(&area));
        QCOMPARE(dropped.count(), 1);
        QVERIFY(dropped.at(0).at(0).value<QList<QFileInfo>>().isEmpty());
    }

    void textWithoutUrlsIsRefused()
    {
        FileDropArea area(nullptr);
        QSignalSpy dropped(&area, &FileDropArea::itemsDropped);
        Drag drag(textData(QStringLiteral("/etc/passwd")));
        QVERIFY(!drag.enter(&area));
        QVERIFY(!highlighted(area));
        QVERIFY(!drag.drop(&area));
        QCOMPARE(dropped.count(), 0);
    }

    void enterLogsTheOffer()
    {
        FileDropArea area(nullptr);
        auto *data = urlData({QUrl::fromLocalFile(QStringLiteral("/tmp/a b"))});
        data->setText(QStringLiteral("a b"));
        Drag drag(data);
        QTest::ignoreMessage(QtDebugMsg, "FileDropArea::dragEnterEvent() called");
        QTest::ignoreMessage(QtDebugMsg, "\t\tproposed action: 1");
        QTest::ignoreMessage(QtDebugMsg, "\t\thas HTML? false");
        QTest::ignoreMessage(QtDebugMsg, "\t\thas text? true");
        QTest::ignoreMessage(QtDebugMsg, "\t\thas URLs? true");
        QTest::ignoreMessage(QtDebugMsg, "\t\tText: [a b]");
        QTest::ignoreMessage(QtDebugMsg, "\t\tURL: [file:///tmp/a b]");
        QVERIFY(drag.enter(&area));
    }

    void leavingTakesTheHighlightBack()
    {
        FileDropArea area(nullptr);
        Drag drag(urlData({QUrl::fromLocalFile(QStringLiteral("/"))}));
        QVERIFY(drag.enter(&area));
        QVERIFY(highlighted(area));
        drag.leave(&area);
        QVERIFY(!highlighted(area));
    }

    void disabledWhileScanning()
    {
        FileDropArea area(nullptr);
        auto *frame = area.findChild<QFrame *>(QStringLiteral("frame"));
        auto *label = area.findChild<QLabel *>(QStringLiteral("label"));
        area.disableDrops();
        QCOMPARE(frame->styleSheet(), QStringLiteral("border: none;"));
        QVERIFY(label->isHidden());
        QVERIFY(!area.isEnabled());
        area.enableDrops();
        QVERIFY(frame->styleSheet().isEmpty());
        QVERIFY(!label->isHidden());
        QVERIFY(area.isEnabled());
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
        FileDropArea area(nullptr);
        area.resize(420, 160);
        area.show();
        QVERIFY(QTest::qWaitForWindowExposed(&area));
        const QString tag = QStringLiteral("droparea-%1").arg(QTest::currentDataTag());
        const QColor page(235, 235, 235);

        const QImage idle = widgetSnapshot(&area, scale, tag + QStringLiteral("-idle"), page);
        const QRect middle(idle.width() / 4, idle.height() / 3, idle.width() / 2,
                           idle.height() / 3);
        QVERIFY(countPixels(idle, idle.rect(), greyish) > 0);
        QCOMPARE(countPixels(idle, idle.rect(), bluish), 0);

        area.setHighlighted(true);
        const QImage lit = widgetSnapshot(&area, scale, tag + QStringLiteral("-highlighted"), page);
        QVERIFY(countPixels(lit, middle, bluish) > middle.width() * middle.height() / 2);
        QVERIFY(countPixels(lit, middle, whitish) > 0);
        // The rounded corner leaves the page showing.
        const int inset = static_cast<int>(12 * scale);
        QCOMPARE(QColor(lit.pixel(inset, inset)), page);

        area.setHighlighted(false);
        area.disableDrops();
        const QImage off = widgetSnapshot(&area, scale, tag + QStringLiteral("-disabled"), page);
        QCOMPARE(countPixels(off, off.rect(), greyish), 0);
    }
};

QTEST_MAIN(TestFileDropArea)
#include "tst_filedroparea.moc"
