// Pure pieces of the control server: stream splitting, field conversion, point
// mapping and the reply texts.

#include "servertestutil.h"

#include "file/jwfile.h"
#include "server/jwdatamanage.h"
#include "server/packetfields.h"
#include "server/packetsplitter.h"
#include "show/showimagerect.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <climits>
#include <cmath>
#include <limits>

class TestServerUnits : public QObject
{
    Q_OBJECT

    static QStringList feedAll(PacketSplitter& s, const QList<QByteArray>& reads)
    {
        QStringList out;
        for (const QByteArray& r : reads)
            out += s.feed(r);
        return out;
    }

private slots:
    void splitterCutsObjectsOfOneRead()
    {
        PacketSplitter s;
        QCOMPARE(s.feed(QByteArray(R"({"a":1}{"b":{"c":[{"d":2},{}]},"e":[]})")),
                 QStringList({R"({"a":1})", R"({"b":{"c":[{"d":2},{}]},"e":[]})"}));
        QCOMPARE(s.pending(), 0);
    }

    void splitterJoinsObjectsAcrossReads()
    {
        // Cut inside a three-byte character: the piece decodes only when whole.
        const QByteArray obj = QString(R"({"t":"中文"})").toUtf8();
        const int cut = obj.indexOf("\xe4\xb8\xad") + 1;
        PacketSplitter s;
        QVERIFY(s.feed(obj.left(cut)).isEmpty());
        QCOMPARE(s.pending(), cut);
        QCOMPARE(s.feed(obj.mid(cut)), QStringList{QString(R"({"t":"中文"})")});

        // Cut right after a backslash inside a string that holds an escaped quote
        // and unbalanced braces: those braces must not count.
        const QByteArray tricky = "{\"t\":\"x\\\"}{\\\\\",\"u\":\"}{\"}";
        QVERIFY(QJsonDocument::fromJson(tricky).isObject());
        for (int at = 1; at < tricky.size(); ++at) {
            PacketSplitter p;
            QCOMPARE(feedAll(p, {tricky.left(at), tricky.mid(at)}),
                     QStringList{QString::fromUtf8(tricky)});
        }

        // A complete object followed by the start of the next.
        PacketSplitter q;
        QCOMPARE(q.feed(QByteArray(R"({"a":1}{"b":)")), QStringList{R"({"a":1})"});
        QCOMPARE(q.pending(), 5);
        QCOMPARE(q.feed(QByteArray("2}")), QStringList{R"({"b":2})"});
    }

    void splitterKeepsJunkWithItsObject()
    {
        PacketSplitter s;
        QCOMPARE(s.feed(QByteArray(R"(xx{"a":1}{"b":2})")),
                 QStringList({R"(xx{"a":1})", R"({"b":2})"}));
        // A quote in the junk is not the start of a string.
        QCOMPARE(s.feed(QByteArray("\"{\"a\":1}")), QStringList{"\"{\"a\":1}"});
        // A stray closing brace drops everything before it, itself included.
        QCOMPARE(s.feed(QByteArray(R"(ab}{"a":1})")), QStringList{R"({"a":1})"});
        QCOMPARE(s.feed(QByteArray("}}")), QStringList());
        QCOMPARE(s.pending(), 0);
    }

    void splitterCutsReadAtZeroByte()
    {
        PacketSplitter s;
        QCOMPARE(s.feed(QByteArray("{\"a\":1}\0{\"b\":2}", 15)), QStringList{R"({"a":1})"});
        QCOMPARE(s.feed(QByteArray("{\"a\":\0zz}", 9)), QStringList());
        QCOMPARE(s.feed(QByteArray("1}")), QStringList{R"({"a":1})"});
        QCOMPARE(s.feed(QByteArray("\0{}", 3)), QStringList());
    }

    void splitterWhiteSpace()
    {
        PacketSplitter s;
        // A line end after a packet is normal and dropped ...
        QCOMPARE(s.feed(QByteArray("{\"a\":1}\r\n")), QStringList{R"({"a":1})"});
        // ... a read of only white space or junk is handed on to fail as broken JSON.
        QCOMPARE(s.feed(QByteArray("\n")), QStringList{"\n"});
        QCOMPARE(s.feed(QByteArray("   ")), QStringList{"   "});
        QCOMPARE(s.feed(QByteArray(R"({"a":1}xyz)")), QStringList({R"({"a":1})", "xyz"}));
        // White space before an object stays with it (JSON allows it).
        QCOMPARE(s.feed(QByteArray("{\"a\":1} {\"b\":2}")),
                 QStringList({R"({"a":1})", R"( {"b":2})"}));
        QCOMPARE(s.feed(QByteArray()), QStringList());
        QCOMPARE(s.pending(), 0);
    }

    void splitterCapsTheKeptRest()
    {
        PacketSplitter s;
        QByteArray chunk(2048, 'x');
        QVERIFY(s.feed(QByteArray("{\"a\":\"")).isEmpty());
        int fed = 6;
        while (s.overflows() == 0) {
            QVERIFY(s.feed(chunk).isEmpty());
            fed += chunk.size();
            QVERIFY(s.pending() <= PacketSplitter::kMaxPending);
            QVERIFY(fed < 2 * PacketSplitter::kMaxPending);
        }
        QVERIFY(fed > PacketSplitter::kMaxPending);
        QCOMPARE(s.pending(), 0);
        // The connection recovers for the next packet.
        QCOMPARE(s.feed(QByteArray(R"({"ok":1})")), QStringList{R"({"ok":1})"});
    }

    void splitterRandomReadBoundaries()
    {
        // Random valid objects, written back to back with random white space and
        // read in random pieces, come out one for one.
        auto* rng = QRandomGenerator::global();
        const QStringList atoms = {"{", "}", "\\\"", "\\\\", "中", "é", "[", "]", "a", " "};
        for (int round = 0; round < 300; ++round) {
            QList<QByteArray> objects;
            QByteArray stream;
            const int n = 1 + rng->bounded(6);
            for (int i = 0; i < n; ++i) {
                QString str;
                for (int k = rng->bounded(12); k > 0; --k)
                    str += atoms.at(rng->bounded(atoms.size()));
                const QByteArray obj = QByteArray("{\"id\":\"") + QByteArray::number(i) +
                                       "\",\"s\":\"" + str.toUtf8() + "\",\"n\":{\"m\":[1,{}]}}";
                QVERIFY2(QJsonDocument::fromJson(obj).isObject(), obj.constData());
                objects << obj;
                stream += obj;
                if (rng->bounded(3) == 0)
                    stream += "\r\n";
            }
            PacketSplitter s;
            QStringList pieces;
            for (int pos = 0; pos < stream.size();) {
                const int len = 1 + rng->bounded(qMin(300, stream.size() - pos));
                // A line end that arrives in a read of its own is handed on (and
                // fails as broken JSON); it never joins or splits an object.
                for (const QString& p : s.feed(stream.mid(pos, len))) {
                    if (!p.trimmed().isEmpty())
                        pieces << p;
                }
                pos += len;
            }
            QCOMPARE(pieces.size(), objects.size());
            for (int i = 0; i < n; ++i)
                QCOMPARE(pieces.at(i).trimmed().toUtf8(), objects.at(i));
        }
    }

    void splitterRandomBytes()
    {
        auto* rng = QRandomGenerator::global();
        PacketSplitter s;
        QByteArray chunk;
        for (int i = 0; i < 5000; ++i) {
            chunk.resize(1 + rng->bounded(2048));
            for (char& c : chunk) {
                const quint32 r = rng->bounded(10);
                c = r < 2   ? '{'
                    : r < 4 ? '}'
                    : r < 5 ? '"'
                    : r < 6 ? '\\'
                            : char(rng->bounded(256));
            }
            for (const QString& p : s.feed(chunk))
                QVERIFY(!p.isEmpty());
            QVERIFY(s.pending() <= PacketSplitter::kMaxPending);
        }
    }

    void numberFields()
    {
        using namespace packetfields;
        QCOMPARE(truncToInt(2.9), 2);
        QCOMPARE(truncToInt(-2.9), -2);
        QCOMPARE(truncToInt(1e300), INT_MAX);
        QCOMPARE(truncToInt(-1e300), INT_MIN);
        QCOMPARE(truncToInt(std::numeric_limits<double>::quiet_NaN()), 0);
        QCOMPARE(truncToInt(std::numeric_limits<double>::infinity()), INT_MAX);
        QCOMPARE(truncToInt(2147483647.5), INT_MAX);
        QCOMPARE(truncToInt(-2147483648.9), INT_MIN);
        QCOMPARE(numberField(QJsonValue(12.7)), 12);
        QCOMPARE(numberField(QJsonValue("12")), 0);
        QCOMPARE(numberField(QJsonValue(true)), 0);
        QCOMPARE(numberField(QJsonValue()), 0);

        QCOMPARE(decimal("123"), 123);
        QCOMPARE(decimal("-5"), -5);
        QCOMPARE(decimal("12a"), 0);
        QCOMPARE(decimal("0x10"), 0);
        QCOMPARE(decimal(""), 0);
        QCOMPARE(decimal("2147483648"), 0);
        QCOMPARE(decimal64("99999999999"), Q_INT64_C(99999999999));
        QCOMPARE(decimal64("-9223372036854775808"), std::numeric_limits<qint64>::min());
        QCOMPARE(decimal64("99999999999999999999"), Q_INT64_C(0));
        QCOMPARE(decimal64("1.5"), Q_INT64_C(0));
        QCOMPARE(stringField(QJsonValue(5)), QString());
        QCOMPARE(stringField(QJsonValue("ab")), QString("ab"));
    }

    void mapImagePoint()
    {
        QCOMPARE(MapImagePoint(500, 500, 560, 240, 800, 600), QPoint(960, 540));
        QCOMPARE(MapImagePoint(1000, 1000, 560, 240, 800, 600), QPoint(1360, 840));
        QCOMPARE(MapImagePoint(999.9, -0.9, 560, 240, 800, 600), QPoint(560 + 799, 240));
        // Before any picture: everything lands at (or left of) the top-left corner.
        QCOMPARE(MapImagePoint(500, 500, 0, 0, -1, -1), QPoint(0, 0));
        const double nan = std::numeric_limits<double>::quiet_NaN();
        QCOMPARE(MapImagePoint(nan, nan, 7, 9, 800, 600), QPoint(7, 9));
        QCOMPARE(MapImagePoint(1e300, -1e300, 0, 0, 1000, 1000), QPoint(INT_MAX, INT_MIN));
        QCOMPARE(MapImagePoint(2000, -2000, 0, 0, INT_MAX, INT_MAX), QPoint(INT_MAX, INT_MIN));
        QCOMPARE(MapImagePoint(1e300, 1e300, INT_MAX, INT_MIN, INT_MAX, INT_MAX),
                 QPoint(INT_MAX, INT_MAX));
        // The product overflows 32 bits, the result does not.
        QCOMPARE(MapImagePoint(1000, 500, -2000000000, 0, 2000000000, 2000000000),
                 QPoint(0, 1000000000));
        QCOMPARE(MapImagePoint(1000, 1000, INT_MIN, INT_MIN, INT_MIN, INT_MIN),
                 QPoint(INT_MIN, INT_MIN));

        ShowImageRect.set(560, 240, 800, 600);
        QCOMPARE(MapImagePoint(500, 500), QPoint(960, 540));
        ShowImageRect.set(0, 0, -1, -1);
    }

    void replyEnvelope()
    {
        JWData d;
        d.id = "7";
        d.from = "jwshow";
        d.to = "phone1";
        d.type = "mode";
        d.ret = "0";
        // Fields that never reach the wire in an envelope.
        d.url = d.version = d.ip = d.pwd = d.width = d.height = d.name = d.token = "junk";
        d.act = d.time = d.value = d.rc_port = "junk";
        const QString text = JWdataManage::BuildReply(d);
        QCOMPARE(
            text,
            QString(
                R"({"desc":"","from":"jwshow","id":"7","ret":"0","to":"phone1","type":"mode"})"));
        QCOMPARE(text.size(), 74);

        JWData r;
        r.type = "resolution";
        r.ret = "-1";
        r.desc = "unknown type=resolution:act=:快";
        QCOMPARE(
            JWdataManage::BuildReply(r).toUtf8(),
            QString(
                R"({"desc":"unknown type=resolution:act=:快","from":"","id":"","ret":"-1","to":"","type":"resolution"})")
                .toUtf8());
    }

    void replyLogin()
    {
        JWData d;
        d.id = "1";
        d.from = "jwshow";
        d.to = "p";
        d.type = "login";
        d.ret = "0";
        d.name = "n";
        d.rc_port = "5556";
        d.token = "654321";
        d.version = "9.9";
        d.pwd = "secret";
        QCOMPARE(
            JWdataManage::BuildReply(d),
            QString(
                R"({"desc":"","from":"jwshow","id":"1","name":"n","rc_port":"5556","ret":"0","to":"p","token":"654321","type":"login","version":"1.0.4.111"})"));
    }

    void replyVideoInfo_data()
    {
        QTest::addColumn<QString>("act");
        QTest::addColumn<QString>("expected");
        const QString head = R"({"act":"%1","from":"jwshow","id":"000000",)";
        QTest::newRow("position") << "position"
                                  << head.arg("position") +
                                         R"("time":"1234","to":"p","type":"show.video.info"})";
        QTest::newRow("duration") << "duration"
                                  << head.arg("duration") +
                                         R"("to":"p","type":"show.video.info","value":"55"})";
        QTest::newRow("status") << "status"
                                << head.arg("status") +
                                       R"("to":"p","type":"show.video.info","value":"55"})";
        QTest::newRow("volume") << "volume"
                                << head.arg("volume") +
                                       R"("to":"p","type":"show.video.info","value":"55"})";
        QTest::newRow("other") << "other"
                               << head.arg("other") + R"("to":"p","type":"show.video.info"})";
    }

    void replyVideoInfo()
    {
        QFETCH(QString, act);
        QFETCH(QString, expected);
        JWData d;
        d.id = "000000";
        d.from = "jwshow";
        d.to = "p";
        d.type = "show.video.info";
        d.ret = "0";
        d.desc = "x";
        d.act = act;
        d.value = "55";
        d.time = "1234";
        QCOMPARE(JWdataManage::BuildReply(d), expected);
    }

    void fileListReply()
    {
        QCOMPARE(
            jwFile::FileListReply("42"),
            QString(
                R"({"desc":" ","files":[{"name":"xx.jpg","size":10000},{"name":"xx.jpg","size":10000},{"name":"xx.jpg","size":10000}],"from":"jwshow","id":"42","ret":"0","to":"00","type":"file.list"})"));
    }
};

JW_SERVER_TEST_MAIN(TestServerUnits)
#include "tst_server_units.moc"
