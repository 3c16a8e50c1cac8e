#include "files/fileview.h"
#include "files/sqlmodel.h"
#include "files/userprompt.h"
#include "platform/clock.h"
#include "platform/filemanager.h"
#include "platform/filename.h"
#include "testenvironment.h"

#include <QtSql>
#include <QtTest>

#include <QContextMenuEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QMenu>
#include <QMimeData>
#include <QRandomGenerator>
#include <QSortFilterProxyModel>
#include <QStackedWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <climits>
#include <memory>

#include <sys/stat.h>

namespace {
constexpr int Unanswered = INT_MIN;

QString md5Number(int n)
{
    return QStringLiteral("%1").arg(n, 32, 16, QLatin1Char('0'));
}

QString sha1Number(int n)
{
    return QStringLiteral("%1").arg(n, 40, 16, QLatin1Char('0'));
}

QStringList column(const QString &sql)
{
    QSqlQuery query;
    if (!query.exec(sql))
        qFatal("test query failed: %s", qPrintable(query.lastError().text()));
    QStringList values;
    while (query.next())
        values << (query.isNull(0) ? QStringLiteral("<null>") : query.value(0).toString());
    return values;
}

QByteArray randomBytes(qint64 size)
{
    QByteArray data(size, '\0');
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(data.data()),
                                          size / qint64(sizeof(quint32)));
    return data;
}

QMimeData *urlData(const QList<QUrl> &urls)
{
    auto *data = new QMimeData;
    data->setUrls(urls);
    return data;
}

// A real drag over the view: enter, then drop.
struct Drag
{
    explicit Drag(QMimeData *data) : mime(data) {}
    bool enter(QWidget *target)
    {
        QDragEnterEvent event(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, mime.get(),
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(target, &event);
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
    std::unique_ptr<QMimeData> mime;
    Qt::DropAction action = Qt::IgnoreAction;
};

// The upload server: collects what each client sends until it closes.
class UploadServer : public QObject
{
public:
    UploadServer()
    {
        if (!m_server.listen(QHostAddress::LocalHost, 0))
            qFatal("upload server cannot listen");
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection()) {
                ++connections;
                connect(client, &QTcpSocket::readyRead, this, [this, client] {
                    received += client->readAll();
                    if (closeAfter >= 0 && received.size() >= closeAfter)
                        client->abort();
                });
                connect(client, &QTcpSocket::disconnected, this, [this, client] {
                    if (client->isOpen())
                        received += client->readAll();
                    ++closed;
                    client->deleteLater();
                });
            }
        });
    }
    quint16 port() const { return m_server.serverPort(); }
    void pauseAccepting() { m_server.pauseAccepting(); }

    QByteArray received;
    int connections = 0;
    int closed = 0;
    qint64 closeAfter = -1; // drop the client after this many bytes

private:
    QTcpServer m_server;
};
} // namespace

class TestFileView : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SqlModel> m_model;
    std::unique_ptr<FileView> m_view;
    QStringList m_revealed;

    // A real file of the given size, added to the table, digested and (unless
    // Unanswered) answered with the given detection rate. Rows are in insertion
    // order until something sorts them.
    QString addRow(const QString &name, qint64 bytes = 0, int rate = Unanswered,
                   const QByteArray &content = QByteArray())
    {
        const QString path = m_dir->filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot create %s", qPrintable(path));
        if (!content.isEmpty())
            file.write(content);
        else
            file.resize(bytes); // sparse: large sizes cost nothing
        file.close();
        const int n = m_model->fileCount() + 1;
        m_model->addFile(path, 1);
        m_model->setDigestData(QStringLiteral("%1|%2|%3").arg(path, sha1Number(n), md5Number(n)));
        if (rate != Unanswered)
            m_model->setOrvexDataPacked(
                QStringLiteral("%1|%2|2024-01-02 03:04:05").arg(md5Number(n)).arg(rate));
        m_model->select();
        return path;
    }

    void selectRows(const QList<int> &rows)
    {
        m_view->clearSelection();
        for (int row : rows)
            m_view->selectionModel()->select(m_model->index(row, 0), QItemSelectionModel::Select |
                                                                         QItemSelectionModel::Rows);
    }

    QStringList modelColumn(int section) const
    {
        QStringList values;
        for (int row = 0; row < m_model->rowCount(); ++row) {
            const QVariant value = m_model->data(m_model->index(row, section));
            values << (value.isNull() ? QStringLiteral("<null>") : value.toString());
        }
        return values;
    }

    void clickHeader(int section)
    {
        QHeaderView *header = m_view->horizontalHeader();
        const QPoint centre(header->sectionViewportPosition(section) +
                                header->sectionSize(section) / 2,
                            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, centre);
    }

    static void pointUploadsAt(quint16 port)
    {
        qputenv("WINORVEX_UPLOAD_SERVER", QByteArray("127.0.0.1:") + QByteArray::number(port));
    }

    bool uploadRunning() const { return !m_view->findChildren<QTcpSocket *>().isEmpty(); }

private Q_SLOTS:
    void initTestCase() { TestEnvironment::init(); }

    void init()
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(QStringLiteral(":memory:"));
        QVERIFY(db.open());
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        m_model = std::make_unique<SqlModel>();
        m_view = std::make_unique<FileView>();
        m_view->setModel(m_model.get());
        m_view->resize(1600, 400);
        UserPrompt::setScripted(true);
        m_revealed.clear();
        setRevealInFileManagerForTesting([this](const QString &path) { m_revealed << path; });
    }

    void cleanup()
    {
        m_view.reset();
        m_model.reset();
        m_dir.reset();
        QSqlDatabase::database().close();
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
        setRevealInFileManagerForTesting({});
        UserPrompt::setScripted(false);
        qunsetenv("WINORVEX_UPLOAD_SERVER");
        Clock::resetTestSeam();
    }

    void constructionSetsRowHeightAndMovableSections()
    {
        QCOMPARE(m_view->verticalHeader()->defaultSectionSize(),
                 QFontMetrics(QApplication::font()).height() + 8);
        QVERIFY(m_view->horizontalHeader()->sectionsMovable());
        // Results are not retyped in place: the model writes edits to the table.
        QCOMPARE(m_view->editTriggers(), QAbstractItemView::NoEditTriggers);
    }

    void fittedColumnsKeepTheVerdictInSight_data()
    {
        QTest::addColumn<int>("folderLength");
        QTest::addColumn<bool>("capped");
        QTest::newRow("short path") << 8 << false;
        QTest::newRow("path longer than the screen") << 400 << true;
    }
    void fittedColumnsKeepTheVerdictInSight()
    {
        QFETCH(int, folderLength);
        QFETCH(bool, capped);
        // Folders of at most 200 characters each, as names have a limit.
        QString folder;
        for (int left = folderLength; left > 0; left -= 200)
            folder += QString(qMin(left, 200), QLatin1Char('d')) + QLatin1Char('/');
        QVERIFY(QDir(m_dir->path()).mkpath(folder));
        addRow(folder + QStringLiteral("setup.exe"), 1, 0);
        addRow(QStringLiteral("other.exe"), 1, 50);
        // The columns the Files tab hides.
        for (int section : {SqlModel::CheckStateSection, SqlModel::DetectionRateSection,
                            SqlModel::LastSeenSection})
            m_view->hideColumn(section);
        m_view->resize(1366, 400);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));

        const QList<int> fitted{SqlModel::NameSection, SqlModel::PathSection,
                                SqlModel::ScanTimeSection, SqlModel::SizeSection,
                                SqlModel::StatusSection};
        m_view->fitColumnsToContents(fitted);

        QHeaderView *header = m_view->horizontalHeader();
        const int fittedPath = header->sectionSize(SqlModel::PathSection);
        const int length = header->length();
        const int status = header->sectionViewportPosition(SqlModel::StatusSection) +
                           header->sectionSize(SqlModel::StatusSection);
        m_view->resizeColumnToContents(SqlModel::PathSection);
        const int contents = header->sectionSize(SqlModel::PathSection);
        if (capped) {
            QVERIFY2(fittedPath < contents, qPrintable(QString::number(fittedPath)));
            // Every column, the verdict included, fits beside the path.
            QVERIFY2(
                length <= m_view->viewport()->width(),
                qPrintable(QStringLiteral("%1 > %2").arg(length).arg(m_view->viewport()->width())));
        } else {
            QCOMPARE(fittedPath, contents);
        }
        QVERIFY(status <= m_view->viewport()->width());
        // The path shows its start and its file name, on one line.
        QCOMPARE(m_view->textElideMode(), Qt::ElideMiddle);
        QVERIFY(!m_view->wordWrap());
    }

    void columnsFittedOutOfSightFollowTheWidthTheyAreShownAt()
    {
        // A scan that ends while another tab is in front: the table has not
        // been laid out at the window's width yet.
        QString folder;
        for (int i = 0; i < 2; ++i)
            folder += QString(200, QLatin1Char('d')) + QLatin1Char('/');
        QVERIFY(QDir(m_dir->path()).mkpath(folder));
        addRow(folder + QStringLiteral("setup.exe"), 1, 0);
        for (int section : {SqlModel::CheckStateSection, SqlModel::DetectionRateSection,
                            SqlModel::LastSeenSection})
            m_view->hideColumn(section);
        QStackedWidget tabs;
        auto *front = new QWidget;
        tabs.addWidget(front);
        tabs.addWidget(m_view.get());
        tabs.setCurrentWidget(m_view.get());
        tabs.resize(800, 400);
        tabs.show();
        QVERIFY(QTest::qWaitForWindowExposed(&tabs));
        QTRY_COMPARE(m_view->width(), 800);
        tabs.setCurrentWidget(front);
        tabs.resize(1600, 400); // the window grows while the table is out of sight
        QTRY_COMPARE(front->width(), 1600);
        const QList<int> fitted{SqlModel::NameSection, SqlModel::PathSection,
                                SqlModel::ScanTimeSection, SqlModel::SizeSection,
                                SqlModel::StatusSection};
        m_view->fitColumnsToContents(fitted);

        tabs.setCurrentWidget(m_view.get());
        QHeaderView *header = m_view->horizontalHeader();
        // All the room the others leave, not what was left at the old width.
        QTRY_COMPARE(header->length(), m_view->viewport()->width());
        tabs.removeWidget(m_view.get());
        m_view->setParent(nullptr);
    }

    void widthsTheUserSetAreKept()
    {
        addRow(QStringLiteral("a-file-name-long-enough-to-be-shortened.exe"), 1, 0);
        m_view->resize(1366, 400);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        const QList<int> fitted{SqlModel::NameSection, SqlModel::PathSection,
                                SqlModel::ScanTimeSection, SqlModel::SizeSection,
                                SqlModel::StatusSection};
        m_view->fitColumnsToContents(fitted);
        QVERIFY(!m_view->isSizedByUser(SqlModel::NameSection));

        // The user drags the right edge of the Name column 60 pixels to the left.
        QHeaderView *header = m_view->horizontalHeader();
        const int before = header->sectionSize(SqlModel::NameSection);
        const int edge = header->sectionViewportPosition(SqlModel::NameSection) + before - 1;
        const int y = header->height() / 2;
        QTest::mousePress(header->viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(edge, y));
        QTest::mouseMove(header->viewport(), QPoint(edge - 60, y));
        QTest::mouseRelease(header->viewport(), Qt::LeftButton, Qt::NoModifier,
                            QPoint(edge - 60, y));
        QCOMPARE(header->sectionSize(SqlModel::NameSection), before - 60);
        QVERIFY(m_view->isSizedByUser(SqlModel::NameSection));

        // The next scan brings a longer name and a bigger file.
        addRow(QStringLiteral("an-even-longer-file-name-than-the-one-before-it.exe"), 123456789, 0);
        m_view->fitColumnsToContents(fitted);
        QCOMPARE(header->sectionSize(SqlModel::NameSection), before - 60);
        // A column the user left alone still follows its contents.
        QVERIFY(!m_view->isSizedByUser(SqlModel::SizeSection));
        const int fittedSize = header->sectionSize(SqlModel::SizeSection);
        m_view->resizeColumnToContents(SqlModel::SizeSection);
        QCOMPARE(fittedSize, header->sectionSize(SqlModel::SizeSection));
    }

    void selectionReportsDistinctRowsAndMalware_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("malicious");
        // Rows: 0 clean, 1 malicious, 2 rate 0 (known, not detected), 3 unanswered,
        // 4 unable to open, 5 malicious with rate 1.
        QTest::newRow("none") << QList<int>{} << 0 << false;
        QTest::newRow("clean") << QList<int>{0} << 1 << false;
        QTest::newRow("malicious") << QList<int>{1} << 1 << true;
        QTest::newRow("rate 0 is not malware") << QList<int>{2} << 1 << false;
        QTest::newRow("rate 1 is malware") << QList<int>{5} << 1 << true;
        QTest::newRow("clean and malicious") << QList<int>{0, 1} << 2 << true;
        QTest::newRow("unanswered and unable") << QList<int>{3, 4} << 2 << false;
        QTest::newRow("all") << QList<int>{0, 1, 2, 3, 4, 5} << 6 << true;
    }

    void selectionReportsDistinctRowsAndMalware()
    {
        QFETCH(QList<int>, rows);
        QFETCH(int, count);
        QFETCH(bool, malicious);
        addRow("clean.bin", 1, -1);
        addRow("bad.exe", 1, 42);
        addRow("known.dll", 1, 0);
        addRow("waiting.sh", 1);
        const QString unable = addRow("unreadable.so", 1);
        m_model->setUnableToOpenFile(unable);
        addRow("barely.exe", 1, 1);
        m_model->select();

        m_view->selectAll();
        QSignalSpy spy(m_view.get(), &FileView::selectedFileCount);
        selectRows(rows);
        // Several cells of one row are one row.
        for (int row : rows)
            m_view->selectionModel()->select(m_model->index(row, 4), QItemSelectionModel::Select);
        QVERIFY(!spy.isEmpty());
        QCOMPARE(spy.last().at(0).toInt(), count);
        QCOMPARE(spy.last().at(1).toBool(), malicious);
    }

    void proxyRowsAreMappedToTheTable()
    {
        const QString clean = addRow("a-clean.bin", 1, -1);
        const QString bad = addRow("b-bad.exe", 1, 30);
        QSortFilterProxyModel proxy;
        proxy.setSourceModel(m_model.get());
        proxy.sort(SqlModel::NameSection, Qt::DescendingOrder); // bad first
        m_view->setModel(&proxy);

        QSignalSpy counts(m_view.get(), &FileView::selectedFileCount);
        m_view->selectionModel()->select(proxy.index(0, 0),
                                         QItemSelectionModel::Select | QItemSelectionModel::Rows);
        QCOMPARE(counts.last(), (QVariantList{1, true}));

        UserPrompt::setScriptedButton(QMessageBox::Yes);
        m_view->revealItem();
        QCOMPARE(m_revealed, QStringList{bad});
        m_view->removeSelectedIndexes();
        QCOMPARE(column("SELECT path FROM items"), QStringList{clean});

        // Back on the table itself, a re-select is reported once, not once per
        // model the view has shown.
        m_view->setModel(m_model.get());
        counts.clear();
        m_model->select();
        QCOMPARE(counts.count(), 1);
        QCOMPARE(counts.last(), (QVariantList{0, false}));
    }

    void headerClicksSortInSql_data()
    {
        QTest::addColumn<int>("section");
        QTest::addColumn<QString>("sortKey");
        const QStringList names{"check_state", "detection_rate", "last_seen", "md5",  "name",
                                "path",        "scan_time",      "sha1",      "size", "status"};
        for (int section = 0; section < names.size(); ++section) {
            const QString &name = names.at(section);
            QTest::newRow(qPrintable(name))
                << section << (name == QLatin1String("size") ? QStringLiteral("bytes") : name);
        }
    }

    void headerClicksSortInSql()
    {
        QFETCH(int, section);
        QFETCH(QString, sortKey);
        addRow("Beta.exe", 900, 12);
        addRow("alpha.dll", 2048, -1);
        addRow("gamma.so", 10 * 1024 * 1024, 0);
        addRow("delta.bin", 150);
        addRow("Epsilon", 7, 3);
        m_model->setUnableToOpenFile(m_dir->filePath("Epsilon"));
        m_model->select();
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));

        const QString name = m_model->columnName(section);
        for (const QString &order : {QStringLiteral("ASC"), QStringLiteral("DESC")}) {
            clickHeader(section);
            QCOMPARE(m_view->horizontalHeader()->sortIndicatorSection(), section);
            QVERIFY(m_model->selectStatement().endsWith(
                QStringLiteral(" ORDER BY %1 %2").arg(sortKey, order)));
            // The rows come in the order SQL gives for the key (ties keep equal
            // values together, so the column reads the same whatever their order).
            QCOMPARE(modelColumn(section),
                     column(QStringLiteral("SELECT %1 FROM items ORDER BY %2 %3")
                                .arg(name, sortKey, order)));
        }
    }

    void sizeSortsByBytesNotText()
    {
        const QString small = addRow("small", 150);
        const QString kilo = addRow("kilo", 2048);
        const QString mega = addRow("mega", 10 * 1024 * 1024);
        const QString hundreds = addRow("hundreds", 900);
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        // As text, "10.00 MB" would come first.
        QCOMPARE(column("SELECT path FROM items ORDER BY size ASC").first(), mega);

        clickHeader(SqlModel::SizeSection);
        QCOMPARE(m_view->horizontalHeader()->sortIndicatorOrder(), Qt::AscendingOrder);
        QCOMPARE(modelColumn(SqlModel::PathSection), (QStringList{small, hundreds, kilo, mega}));
        clickHeader(SqlModel::SizeSection);
        QCOMPARE(m_view->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
        QCOMPARE(modelColumn(SqlModel::PathSection), (QStringList{mega, kilo, hundreds, small}));
    }

    void malwareFoundPutsMalwareFirstAtNextSelect()
    {
        addRow("clean", 1, -1);
        addRow("worse", 1, 80);
        addRow("unknown", 1, 0);
        addRow("bad", 1, 20);
        connect(m_model.get(), &SqlModel::malwareFound, m_view.get(),
                &FileView::handleMalwareFileFound);
        QCOMPARE(modelColumn(SqlModel::DetectionRateSection), (QStringList{"-1", "80", "0", "20"}));
        addRow("worst", 1, 95); // the answer emits malwareFound; addRow re-selects
        QVERIFY(m_model->selectStatement().endsWith(" ORDER BY detection_rate DESC"));
        QCOMPARE(modelColumn(SqlModel::DetectionRateSection),
                 (QStringList{"95", "80", "20", "0", "-1"}));
    }

    void deleteKeyClearsAfterConfirmation_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("question");
        QTest::addColumn<QStringList>("remaining");
        QTest::newRow("one, yes") << QList<int>{1} << int(QMessageBox::Yes)
                                  << "Are you sure you want to clear this entry?"
                                  << QStringList{"a", "c", "d"};
        QTest::newRow("two, yes") << QList<int>{0, 2} << int(QMessageBox::Yes)
                                  << "Are you sure you want to clear these 2 entries?"
                                  << QStringList{"b", "d"};
        QTest::newRow("two, no") << QList<int>{0, 2} << int(QMessageBox::No)
                                 << "Are you sure you want to clear these 2 entries?"
                                 << QStringList{"a", "b", "c", "d"};
        QTest::newRow("none: nothing to ask") << QList<int>{} << int(QMessageBox::Yes) << QString()
                                              << QStringList{"a", "b", "c", "d"};
    }

    void deleteKeyClearsAfterConfirmation()
    {
        QFETCH(QList<int>, rows);
        QFETCH(int, answer);
        QFETCH(QString, question);
        QFETCH(QStringList, remaining);
        for (const char *name : {"a", "b", "c", "d"})
            addRow(QString::fromLatin1(name), 1, -1);
        selectRows(rows);
        UserPrompt::setScriptedButton(QMessageBox::StandardButton(answer));
        QSignalSpy counts(m_view.get(), &FileView::selectedFileCount);

        QTest::keyClick(m_view.get(), Qt::Key_Delete);

        const QList<UserPrompt::Shown> shown = UserPrompt::takeShown();
        if (question.isEmpty()) {
            QVERIFY(shown.isEmpty());
        } else {
            QCOMPARE(shown.size(), 1);
            QCOMPARE(shown.first().icon, QMessageBox::Question);
            QCOMPARE(shown.first().title, QStringLiteral("Confirm Clear"));
            QCOMPARE(shown.first().text, question);
        }
        QCOMPARE(column("SELECT name FROM items ORDER BY id"), remaining);
        QCOMPARE(modelColumn(SqlModel::NameSection), remaining);
        if (answer == QMessageBox::Yes && !rows.isEmpty()) {
            // The re-select empties the selection; the tab hears of it.
            QVERIFY(!counts.isEmpty());
            QCOMPARE(counts.last(), (QVariantList{0, false}));
        }
    }

    void clearingTheSameFileScannedTwiceRemovesOnlyTheSelectedScan()
    {
        const QString path = addRow("twice", 1, -1); // answered: has a scan time
        m_model->addFile(path, 1);                   // scanned again, not answered yet
        m_model->select();
        selectRows({1});
        UserPrompt::setScriptedButton(QMessageBox::Yes);
        m_view->removeSelectedIndexes();
        QCOMPARE(column("SELECT check_state FROM items"), QStringList{"4"});
    }

    void dropsEmitLocalFilesAndFoldersInOrder_data()
    {
        QTest::addColumn<QStringList>("dropped"); // "~" stands for the test folder
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("file, folder, file")
            << QStringList{"~/one.exe", "~/sub", "~/two with blank.dll"}
            << QStringList{"~/one.exe", "~/sub", "~/two with blank.dll"};
        QTest::newRow("web links are not files")
            << QStringList{"https://example.invalid/x.exe", "~/one.exe"}
            << QStringList{"~/one.exe"};
        QTest::newRow("only web links")
            << QStringList{"https://example.invalid/x.exe"} << QStringList{};
        QTest::newRow("missing file is still passed on")
            << QStringList{"~/gone.exe"} << QStringList{"~/gone.exe"};
        // The URL's bytes name the file; its decoded text would not.
        QTest::newRow("name that is not UTF-8")
            << QStringList{"file://~/caf%E9.exe"} << QStringList{"~/caf\uefe9.exe"};
    }

    void dropsEmitLocalFilesAndFoldersInOrder()
    {
        QFETCH(QStringList, dropped);
        QFETCH(QStringList, expected);
        QVERIFY(QDir(m_dir->path()).mkdir("sub"));
        QFile(m_dir->filePath("one.exe")).open(QIODevice::WriteOnly);
        QFile(m_dir->filePath("two with blank.dll")).open(QIODevice::WriteOnly);
        const auto resolve = [this](const QString &item) {
            return QString(item).replace(QLatin1Char('~'), m_dir->path());
        };
        QList<QUrl> urls;
        for (const QString &item : dropped)
            urls << (item.startsWith('~') ? QUrl::fromLocalFile(resolve(item))
                                          : QUrl::fromEncoded(resolve(item).toUtf8()));

        QSignalSpy spy(m_view.get(), &FileView::filesAndDirsDropped);
        Drag drag(urlData(urls));
        // Drags reach the viewport, as they do under the mouse.
        QVERIFY(m_view->viewport()->acceptDrops());
        QVERIFY(drag.enter(m_view->viewport()));
        QVERIFY(drag.drop(m_view->viewport()));
        QCOMPARE(drag.action, Qt::CopyAction);
        if (expected.isEmpty()) {
            QCOMPARE(spy.count(), 0);
            return;
        }
        QCOMPARE(spy.count(), 1);
        QStringList got;
        for (const QFileInfo &info : spy.first().first().value<QList<QFileInfo>>())
            got << info.absoluteFilePath();
        QStringList want;
        for (const QString &item : expected)
            want << resolve(item);
        QCOMPARE(got, want);
    }

    void dragsWithoutFilesAreRefused()
    {
        QSignalSpy spy(m_view.get(), &FileView::filesAndDirsDropped);
        auto *text = new QMimeData;
        text->setText(QStringLiteral("/etc/passwd"));
        Drag drag(text);
        QVERIFY(!drag.enter(m_view->viewport()));
        QVERIFY(!drag.drop(m_view->viewport()));
        QCOMPARE(spy.count(), 0);
    }

    void revealAsksBeforeMalwareAndClutter_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<bool>("malicious");
        QTest::addColumn<int>("answer");
        // "icon|title|text|default button": the malware question defaults to No,
        // so Enter never opens a folder holding malware.
        QTest::addColumn<QStringList>("prompts");
        QTest::addColumn<int>("revealed");
        const QString malware =
            "2|Warning|Showing the file's location will allow you to interact with it.\n"
            "Interacting with a malicious file can cause damage to your system.\n\n"
            "Are you sure you want to go to this file?|" +
            QString::number(QMessageBox::No);
        // Enter does not open eleven windows either.
        const QString clutter11 = "1|Warning|Showing 11 files' locations may clutter your "
                                  "desktop.\n\nAre you sure you want to open 11 new windows?|" +
                                  QString::number(QMessageBox::No);
        QTest::newRow("one clean") << 1 << false << int(QMessageBox::No) << QStringList{} << 1;
        QTest::newRow("ten clean") << 10 << false << int(QMessageBox::No) << QStringList{} << 10;
        QTest::newRow("eleven, no")
            << 11 << false << int(QMessageBox::No) << QStringList{clutter11} << 0;
        QTest::newRow("eleven, yes")
            << 11 << false << int(QMessageBox::Yes) << QStringList{clutter11} << 11;
        QTest::newRow("malware, no")
            << 1 << true << int(QMessageBox::No) << QStringList{malware} << 0;
        QTest::newRow("malware, yes")
            << 1 << true << int(QMessageBox::Yes) << QStringList{malware} << 1;
        QTest::newRow("eleven with malware, yes")
            << 11 << true << int(QMessageBox::Yes) << QStringList{malware, clutter11} << 11;
        QTest::newRow("nothing selected")
            << 0 << false << int(QMessageBox::Yes) << QStringList{} << 0;
    }

    void revealAsksBeforeMalwareAndClutter()
    {
        QFETCH(int, files);
        QFETCH(bool, malicious);
        QFETCH(int, answer);
        QFETCH(QStringList, prompts);
        QFETCH(int, revealed);
        QStringList paths;
        QList<int> rows;
        for (int i = 0; i < qMax(files, 1); ++i) {
            const bool bad = malicious && i == files / 2;
            paths << addRow(QStringLiteral("f%1.exe").arg(i, 2, 10, QLatin1Char('0')), 1,
                            bad ? 50 : -1);
            rows << i;
        }
        selectRows(files == 0 ? QList<int>{} : rows);
        UserPrompt::setScriptedButton(QMessageBox::StandardButton(answer));
        QTest::ignoreMessage(QtDebugMsg, "FileView::revealItem() called");
        for (int i = 0; i < revealed; ++i)
            QTest::ignoreMessage(
                QtDebugMsg,
                qPrintable(QStringLiteral("FileView::revealItem() revealing '%1'").arg(paths[i])));

        m_view->revealItem();

        QStringList shown;
        for (const UserPrompt::Shown &prompt : UserPrompt::takeShown())
            shown << QStringLiteral("%1|%2|%3|%4")
                         .arg(int(prompt.icon))
                         .arg(prompt.title, prompt.text)
                         .arg(int(prompt.defaultButton));
        QCOMPARE(shown, prompts);
        QCOMPARE(m_revealed, paths.mid(0, revealed));
    }

    void fileManagerArgumentsCarryTheFileIntact_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("plain") << "/home/user/tool.exe";
        QTest::newRow("blanks and marks") << "/tmp/a folder/#1 100% done?.exe";
        QTest::newRow("newline and bar") << "/tmp/odd\nname|x";
        QTest::newRow("not ascii") << QStringLiteral("/tmp/f\u00fcr/\u6587\u4ef6.so");
        // Bytes that are not UTF-8, in the lossless form of scanned paths.
        QTest::newRow("not UTF-8") << FileName::fromBytes("/tmp/caf\xe9/bad\xff.exe");
    }

    void fileManagerArgumentsCarryTheFileIntact()
    {
        QFETCH(QString, path);
        const QVariantList arguments = showItemsArguments(path);
        QCOMPARE(arguments.size(), 2);
        const QStringList uris = arguments.at(0).toStringList();
        QCOMPARE(uris.size(), 1);
        QVERIFY(uris.first().startsWith(QLatin1String("file:///")));
        QVERIFY(!uris.first().contains(QLatin1Char(' ')));
        QVERIFY(!uris.first().contains(QLatin1Char('\n')));
        // The file manager gets this very file.
        QCOMPARE(FileName::fromLocalFileUrl(QUrl(uris.first())), path);
        if (FileName::isPlain(path))
            QCOMPARE(QUrl(uris.first()).toLocalFile(), path);
        QCOMPARE(arguments.at(1).typeId(), QMetaType::QString);
        QCOMPARE(arguments.at(1).toString(), QString()); // no startup id

        const QString folder = QFileInfo(path).absolutePath();
        if (FileName::isPlain(path)) {
            QCOMPARE(folderOpenArguments(path), QStringList{folder});
            QVERIFY(folderOpenArguments(path).first().startsWith(QLatin1Char('/')));
        } else {
            // Arguments are text: a folder whose name is not goes as a URL.
            const QStringList folderArguments = folderOpenArguments(path);
            QCOMPARE(folderArguments.size(), 1);
            QVERIFY(folderArguments.first().startsWith(QLatin1String("file:///")));
            QCOMPARE(FileName::fromLocalFileUrl(QUrl(folderArguments.first())), folder);
        }
    }

    void reportFalsePositiveNeedsExactlyOneRow_data()
    {
        QTest::addColumn<QList<int>>("rows");
        QTest::addColumn<QString>("warning");
        QTest::newRow("none") << QList<int>{}
                              << "FileView::userReportFP() called but no items are selected!";
        QTest::newRow("two") << QList<int>{0, 1}
                             << "FileView::userReportFP() called but more than one item is "
                                "selected!";
        QTest::newRow("one") << QList<int>{1} << QString();
    }

    void reportFalsePositiveNeedsExactlyOneRow()
    {
        QFETCH(QList<int>, rows);
        QFETCH(QString, warning);
        addRow("clean", 1, -1);
        const QString bad = addRow("bad", 1, 60);
        selectRows(rows);
        QTest::ignoreMessage(QtDebugMsg, "FileView::userReportFP() called");
        if (!warning.isEmpty())
            QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
        else
            QTest::ignoreMessage(QtDebugMsg,
                                 qPrintable(QStringLiteral("SqlModel::fileFPData() packed_data is "
                                                           "%1|%2|%3")
                                                .arg(md5Number(2), sha1Number(2), bad)));

        QSignalSpy requested(m_view.get(), &FileView::falsePositiveReportRequested);
        m_view->userReportFP();

        QVERIFY(UserPrompt::takeShown().isEmpty());
        if (!warning.isEmpty()) {
            QCOMPARE(requested.count(), 0);
        } else {
            // The selected row's record goes to the report dialog.
            QCOMPARE(requested.count(), 1);
            QCOMPARE(requested.first().first().toString(),
                     QStringLiteral("%1|%2|%3").arg(md5Number(2), sha1Number(2), bad));
        }
    }

    void contextMenuPopsUpOnlyWhenSet()
    {
        m_view->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_view.get()));
        QContextMenuEvent none(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(50, 60));
        QCoreApplication::sendEvent(m_view->viewport(), &none);

        QMenu menu;
        menu.addAction(QStringLiteral("Open File Location"));
        m_view->setContextMenu(&menu);
        QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(50, 60));
        QCoreApplication::sendEvent(m_view->viewport(), &event);
        QTRY_VERIFY_WITH_TIMEOUT(menu.isVisible(), 5000);
        QCOMPARE(menu.pos(), QPoint(50, 60));
        menu.hide();
    }

    void uploadSendsTheFirstSelectedFileWhole()
    {
        UploadServer server;
        pointUploadsAt(server.port());
        // Larger than the kernel's socket buffers: the upload only ends while the
        // event loop runs, so a blocking sender would stall here.
        const QByteArray content = randomBytes(24 * 1024 * 1024 + 5);
        const QString first = addRow("first.exe", 0, 40, content);
        const QString second = addRow("second.exe", 0, 40, QByteArray("other"));
        selectRows({0, 1});
        QTest::ignoreMessage(QtDebugMsg, "FileView::userUploadFile() uploading files:");
        QTest::ignoreMessage(QtDebugMsg, qPrintable("\t" + first));
        QTest::ignoreMessage(QtDebugMsg, qPrintable("\t" + second));
        QTest::ignoreMessage(QtWarningMsg, "Connected to upload server!");
        QTest::ignoreMessage(QtDebugMsg, "read in 25165829 bytes... file is 25165829 bytes");
        QTest::ignoreMessage(QtDebugMsg, "wrote 25165829 bytes");
        QTest::ignoreMessage(QtWarningMsg, "Upload OK!");

        m_view->userUploadFile();
        QVERIFY(uploadRunning()); // returned at once, the upload goes on

        QTRY_COMPARE_WITH_TIMEOUT(server.closed, 1, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 5000);
        QCOMPARE(server.connections, 1);
        QCOMPARE(server.received.size(), content.size());
        QVERIFY(server.received == content);
        QCoreApplication::processEvents();
        QVERIFY(UserPrompt::takeShown().isEmpty());
    }

    void uploadOfAnEmptyFileSendsNothingAndCloses()
    {
        UploadServer server;
        pointUploadsAt(server.port());
        addRow("empty", 0, -1);
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Upload OK!");
        m_view->userUploadFile();
        QTRY_COMPARE_WITH_TIMEOUT(server.closed, 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 5000);
        QCOMPARE(server.received, QByteArray());
    }

    void uploadWithNothingSelectedDoesNothing()
    {
        addRow("a", 1, -1);
        QTest::ignoreMessage(QtWarningMsg,
                             "FileView::userUploadFile() called but no items are selected!");
        m_view->userUploadFile();
        QVERIFY(!uploadRunning());
        QVERIFY(UserPrompt::takeShown().isEmpty());
    }

    void uploadOfAFileThatCannotBeReadTellsTheUser_data()
    {
        QTest::addColumn<QString>("replaceWith");
        QTest::newRow("deleted") << "nothing";
        QTest::newRow("now a FIFO") << "fifo"; // opening it would block the window
    }

    void uploadOfAFileThatCannotBeReadTellsTheUser()
    {
        QFETCH(QString, replaceWith);
        UploadServer server;
        pointUploadsAt(server.port());
        const QString path = addRow("vanishing.exe", 10, -1);
        QVERIFY(QFile::remove(path));
        if (replaceWith == QLatin1String("fifo"))
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Connected to upload server!");
        QTest::ignoreMessage(QtWarningMsg, "Couldn't open file to upload!");

        m_view->userUploadFile();

        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(server.closed, 1, 10000);
        QCOMPARE(server.received, QByteArray());
        QList<UserPrompt::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += UserPrompt::takeShown()).isEmpty(), 5000);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().icon, QMessageBox::Warning);
        QCOMPARE(shown.first().text,
                 QStringLiteral("The file '%1' could not be opened for sending.").arg(path));
    }

    void uploadWithoutServerTellsTheUser()
    {
        quint16 port = 0;
        {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
            port = closed.serverPort();
        }
        pointUploadsAt(port);
        addRow("a.exe", 10, -1);
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Couldn't connect to upload server!");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^FileView::userUploadFile\\(\\) socket error: "));

        m_view->userUploadFile();

        QList<UserPrompt::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += UserPrompt::takeShown()).isEmpty(), 10000);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().icon, QMessageBox::Warning);
        QCOMPARE(shown.first().text, QStringLiteral("Could not connect to the upload server."));
        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 5000);
    }

    void uploadCutShortIsAFailureNotSuccess()
    {
        UploadServer server;
        server.closeAfter = 1024 * 1024; // the server drops the client part way
        pointUploadsAt(server.port());
        const QString path = addRow("big.exe", 0, 10, randomBytes(32 * 1024 * 1024));
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Connected to upload server!");
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("^FileView::userUploadFile\\(\\) socket error: "));
        QTest::ignoreMessage(QtWarningMsg, "Upload Failed!");

        m_view->userUploadFile();

        QList<UserPrompt::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += UserPrompt::takeShown()).isEmpty(), 30000);
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown.first().text,
                 QStringLiteral("The file '%1' could not be sent to the upload server.").arg(path));
        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 5000);
    }

    void uploadThatStallsFailsAfterTheWait()
    {
        UploadServer server;
        server.pauseAccepting(); // connections complete, but nobody reads
        pointUploadsAt(server.port());
        const int divisor = 100;
        Clock::setTestWaitDivisor(divisor);
        const QString path = addRow("stuck.exe", 256 * 1024 * 1024, 10); // sparse
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Connected to upload server!");
        QTest::ignoreMessage(QtWarningMsg, "Upload Failed!");

        QElapsedTimer elapsed;
        elapsed.start();
        m_view->userUploadFile();
        QList<UserPrompt::Shown> shown;
        QTRY_VERIFY_WITH_TIMEOUT(!(shown += UserPrompt::takeShown()).isEmpty(), 30000);
        // No byte moved for the designed 30 s (shortened by the divisor).
        QVERIFY2(elapsed.elapsed() >= 30000 / divisor,
                 qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(shown.first().text,
                 QStringLiteral("The file '%1' could not be sent to the upload server.").arg(path));
        QTRY_VERIFY_WITH_TIMEOUT(!uploadRunning(), 5000);
    }

    void closingTheViewEndsAnUpload()
    {
        UploadServer server;
        server.pauseAccepting();
        pointUploadsAt(server.port());
        addRow("stuck.exe", 64 * 1024 * 1024, 10);
        selectRows({0});
        QTest::ignoreMessage(QtWarningMsg, "Connected to upload server!");
        m_view->userUploadFile();
        QTRY_VERIFY_WITH_TIMEOUT(m_view->findChild<QTcpSocket *>()->bytesToWrite() > 0, 10000);
        m_view.reset(); // no crash, no prompt afterwards
        QCoreApplication::processEvents();
        QVERIFY(UserPrompt::takeShown().isEmpty());
    }
};

QTEST_MAIN(TestFileView)
#include "tst_fileview.moc"
