#include "sockets/socketmodel.h"

#include <QtTest>

namespace {
const QString Tcp = QStringLiteral("812|TCP|93.184.216.34|443|10.0.2.15|53924|5");
const QString Udp = QStringLiteral("77|UDP|||127.0.0.53|53|");
} // namespace

class TestSocketModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void headers()
    {
        SocketModel model;
        QCOMPARE(model.columnCount(), 8);
        const QStringList titles{"Protocol",    "Local Host", "Local Port", "Remote Host",
                                 "Remote Port", "State",      "PID",        "First Seen"};
        for (int section = 0; section < titles.size(); ++section) {
            QCOMPARE(model.headerData(section, Qt::Horizontal).toString(), titles.at(section));
            QVERIFY(!model.headerData(section, Qt::Horizontal, Qt::ToolTipRole).isValid());
        }
        QCOMPARE(model.headerData(0, Qt::Vertical).toString(), QStringLiteral("1"));
        QCOMPARE(model.headerData(41, Qt::Vertical).toString(), QStringLiteral("42"));
    }

    void cells_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QVariantList>("display");
        QTest::addColumn<QVariantList>("sorting");
        QTest::newRow("tcp") << Tcp << QVariantList{"TCP", "10.0.2.15",   "53924", "93.184.216.34",
                                                    "443", "Established", "812",   QVariant()}
                             << QVariantList{"TCP", "10.0.2.15", 53924u, "93.184.216.34",
                                             443u,  5u,          "812",  QVariant()};
        // Empty text counts as 0 for sorting.
        QTest::newRow("udp") << Udp << QVariantList{"UDP", "127.0.0.53", "53", "",
                                                    "",    "",           "77", QVariant()}
                             << QVariantList{"UDP", "127.0.0.53", 53u,  "",
                                             0u,    0u,           "77", QVariant()};
        QTest::newRow("state out of range")
            << QStringLiteral("1|TCP|1.2.3.4|1|5.6.7.8|2|13")
            << QVariantList{"TCP", "5.6.7.8", "2", "1.2.3.4", "1", "", "1", QVariant()}
            << QVariantList{"TCP", "5.6.7.8", 2u, "1.2.3.4", 1u, 13u, "1", QVariant()};
        QTest::newRow("pid with leading zeros")
            << QStringLiteral("0042|UDP|||0.0.0.0|68|")
            << QVariantList{"UDP", "0.0.0.0", "68", "", "", "", "0042", QVariant()}
            << QVariantList{"UDP", "0.0.0.0", 68u, "", 0u, 0u, "42", QVariant()};
    }
    void cells()
    {
        QFETCH(QString, record);
        QFETCH(QVariantList, display);
        QFETCH(QVariantList, sorting);
        SocketModel model;
        model.addSockets({record});
        for (int column = 0; column < model.columnCount(); ++column) {
            const QModelIndex index = model.index(0, column);
            QCOMPARE(model.data(index, Qt::DisplayRole), display.at(column));
            QCOMPARE(model.data(index, Qt::UserRole), sorting.at(column));
            for (int role : {int(Qt::ToolTipRole), int(Qt::FontRole), int(Qt::BackgroundRole),
                             int(Qt::EditRole)})
                QVERIFY(!model.data(index, role).isValid());
        }
    }

    void stateNames()
    {
        const QStringList names{"",
                                "Closed",
                                "Listening",
                                "SYN Sent",
                                "SYN Received",
                                "Established",
                                "Waiting for FIN 1",
                                "Waiting for FIN 2",
                                "Waiting for close",
                                "Closing",
                                "Last ACK",
                                "Waiting for timeout",
                                "Deleting",
                                ""};
        for (int state = 0; state < names.size(); ++state)
            QCOMPARE(SocketModel::stateName(state), names.at(state));
        QCOMPARE(SocketModel::stateName(-1), QString());
    }

    void badRecordsShowEmptyCells()
    {
        SocketModel model;
        model.addSockets({QStringLiteral("1|TCP|x"), QString()});
        QTest::ignoreMessage(QtWarningMsg,
                             "SocketModel::data() fields.count() is 3 but it should be 7.");
        QVERIFY(!model.data(model.index(0, 0)).isValid());
        QTest::ignoreMessage(QtWarningMsg, "SocketModel::data() got a bad socket for row 1");
        QVERIFY(!model.data(model.index(1, 6)).isValid());
        QVERIFY(!model.data(QModelIndex()).isValid());
    }

    void rowsAreAppendedAndKept()
    {
        SocketModel model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        model.addSockets({});
        QCOMPARE(inserted.size(), 0);
        model.addSockets({Tcp, Udp});
        model.addSockets({Udp});
        QCOMPARE(inserted.size(), 2);
        QCOMPARE(inserted.at(0).mid(1), QVariantList({0, 1}));
        QCOMPARE(inserted.at(1).mid(1), QVariantList({2, 2}));
        QCOMPARE(model.sockets(), QList<QString>({Tcp, Udp, Udp}));
        QCOMPARE(model.rowCount(), 3);
        QCOMPARE(model.rowCount(model.index(0, 0)), 3);
        model.removeSockets({Tcp});
        QCOMPARE(model.rowCount(), 3);
        QVERIFY(!model.setData(model.index(0, 0), QStringLiteral("UDP")));
        QCOMPARE(model.data(model.index(0, 0)).toString(), QStringLiteral("TCP"));
        QCOMPARE(model.flags(model.index(0, 0)), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        QCOMPARE(model.flags(QModelIndex()), Qt::ItemIsEnabled);
    }
};

QTEST_GUILESS_MAIN(TestSocketModel)
#include "tst_socketmodel.moc"
