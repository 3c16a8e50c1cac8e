#include "files/streamdigest.h"

#include <QtTest>

namespace {
const qint64 Sizes[] = {0,    1,    55,   56,     57,     63,     64,     65,
                        119,  120,  127,  128,    129,    4095,   4096,   4097,
                        8191, 8192, 8193, 262143, 262144, 262145, 1000003};

QByteArray patterned(qint64 size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        data[i] = char((i * 167 + i / 251) & 0xff);
    return data;
}

QByteArray qtDigest(const QByteArray &data, StreamDigest::Algorithm algorithm)
{
    return QCryptographicHash::hash(
        data, algorithm == StreamDigest::Md5 ? QCryptographicHash::Md5 : QCryptographicHash::Sha1);
}
} // namespace

class TestStreamDigest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Both algorithms pad in 64-byte blocks and keep the length in the last 8
    // bytes: sizes around 56 and 64 bytes, the reader's 4096-byte chunks and
    // its 256 KiB buffers are where a wrong digest would show. Each content
    // is fed whole and in uneven pieces, and one object digests every size in
    // turn, so reset() must leave nothing of the previous stream behind.
    void agreesWithQt_data()
    {
        QTest::addColumn<int>("algorithm");
        for (int algorithm : {int(StreamDigest::Md5), int(StreamDigest::Sha1)})
            QTest::addRow("%s", algorithm == StreamDigest::Md5 ? "MD5" : "SHA-1") << algorithm;
    }
    void agreesWithQt()
    {
        QFETCH(int, algorithm);
        const auto kind = StreamDigest::Algorithm(algorithm);
        StreamDigest digest(kind);
        for (qint64 size : Sizes) {
            const QByteArray data = patterned(size);
            const QByteArray expected = qtDigest(data, kind);
            digest.reset();
            digest.addData(data.constData(), data.size());
            QCOMPARE(digest.result(), expected);

            digest.reset();
            for (qint64 at = 0, piece = 1; at < size; at += piece, piece = piece * 3 % 1021 + 1)
                digest.addData(data.constData() + at, qMin(piece, size - at));
            if (QTest::currentTestFailed())
                return;
            QVERIFY2(digest.result() == expected,
                     qPrintable(QStringLiteral("%1 bytes in pieces").arg(size)));
        }
    }

    void knownDigestsAndEmptyPieces()
    {
        StreamDigest md5(StreamDigest::Md5);
        StreamDigest sha1(StreamDigest::Sha1);
        for (StreamDigest *digest : {&md5, &sha1}) {
            digest->reset();
            digest->addData("ab", 2);
            digest->addData(nullptr, 0);
            digest->addData("c", 1);
        }
        QCOMPARE(md5.result().toHex(), QByteArray("900150983cd24fb0d6963f7d28e17f72"));
        QCOMPARE(sha1.result().toHex(), QByteArray("a9993e364706816aba3e25717850c26c9cd0d89d"));
        // A fresh object needs no reset() before its first stream.
        StreamDigest fresh(StreamDigest::Md5);
        QCOMPARE(fresh.result().toHex(), QByteArray("d41d8cd98f00b204e9800998ecf8427e"));
    }
};

QTEST_GUILESS_MAIN(TestStreamDigest)
#include "tst_streamdigest.moc"
