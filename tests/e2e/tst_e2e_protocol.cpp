// The control protocol of the real program, byte for byte: greeting, login, the
// reply and every error of each request type, framing across and within writes,
// broken packets and logout.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QRegularExpression>
#include <QtTest>

// Declared before any raw string literal: moc does not follow those.
class TestE2eProtocol : public QObject
{
    Q_OBJECT

    std::unique_ptr<jwtest::JwInstance> prog_;
    std::unique_ptr<jwtest::Controller> c_; // logged in as "tester"
    QByteArray token_;
    quint16 rcPort_ = 0;
    int probes_ = 0;

    std::unique_ptr<jwtest::Controller> connected();
    bool probeAnswered(jwtest::Controller& c);

private slots:
    void initTestCase();
    void cleanupTestCase();
    void greeting();
    void login();
    void replies_data();
    void replies();
    void keepAliveChangesRcPort();
    void framing();
    void logoutClosesWithoutReply();
};

using namespace jwtest;
using namespace e2e;

namespace
{

// A request that touches nothing but the reply path: its reply proves that the
// packets written before it have been handled without any reply of their own.
QByteArray probe(int n)
{
    return R"({"type":"file.open","id":"probe)" + QByteArray::number(n) +
           R"(","from":"tester","path":"/nonexistent"})";
}
QByteArray probeReply(int n)
{
    return R"({"desc":" ","from":"jwshow","id":"probe)" + QByteArray::number(n) +
           R"(","ret":"0","to":" ","type":"file.open"})";
}

} // namespace

std::unique_ptr<Controller> TestE2eProtocol::connected()
{
    auto c = std::make_unique<Controller>(prog_->port());
    if (!c->connectToHost())
        return nullptr;
    return c;
}
// Writes the probe and checks that its reply is the next thing on the line.
bool TestE2eProtocol::probeAnswered(Controller& c)
{
    ++probes_;
    const QByteArray got = c.request(QJsonDocument::fromJson(probe(probes_)).object());
    if (got != probeReply(probes_)) {
        qWarning() << "expected" << probeReply(probes_) << "got" << got;
        return false;
    }
    return true;
}

void TestE2eProtocol::initTestCase()
{
    JwInstanceOptions o;
    // No companion beside this copy: its keep-alives would change rc_port under
    // the test's feet.
    o.withoutCompanion = true;
    prog_ = std::make_unique<JwInstance>(o);
    QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
    rcPort_ = prog_->port() + 1;
    c_ = connected();
    QVERIFY(c_);
    const QByteArray r = c_->login("tester", "Tester", "pw");
    token_ = tokenOf(r);
    QCOMPARE(r, loginReply("1", "tester", "Tester", rcPort_, token_));
}

void TestE2eProtocol::cleanupTestCase()
{
    c_.reset();
    QCOMPARE(prog_->stop(), 0); // SIGTERM is an orderly quit
}

void TestE2eProtocol::greeting()
{
    auto c = connected();
    QVERIFY(c);
    QCOMPARE(c->greeting(), expectedGreeting());
    QVERIFY(c->expectNoReply(200));
}

void TestE2eProtocol::login()
{
    QVERIFY2(QRegularExpression("^[0-9]{6}$").match(QString::fromLatin1(token_)).hasMatch(),
             token_.constData());
    QVERIFY(token_.toInt() >= 600000 && token_.toInt() <= 999998);

    auto c = connected();
    QVERIFY(c);
    // The same code for every login of one run.
    QCOMPARE(c->login("phoneA", "Phone A", "secret", "77"),
             loginReply("77", "phoneA", "Phone A", rcPort_, token_));
    // An empty password is refused in the reply (the controller is listed all the same).
    QCOMPARE(c->login("phoneB", "Phone B", "", "78"),
             loginReply("78", "phoneB", "Phone B", rcPort_, token_, "-1", "no password"));
    QCOMPARE(c->request(QJsonObject{{"type", "login"}, {"id", "79"}, {"from", "phoneC"}}),
             loginReply("79", "phoneC", "", rcPort_, token_, "-1", "no password"));
    // A second login with a known id still answers ret "0".
    QCOMPARE(c->login("phoneA", "Again", "secret", "80"),
             loginReply("80", "phoneA", "Again", rcPort_, token_));
    // Non-ASCII text goes out as UTF-8.
    QCOMPARE(c->login("手机", "张三", "pw", "81"),
             loginReply("81", "手机", "张三", rcPort_, token_));
}

void TestE2eProtocol::replies_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("expected"); // empty: no reply at all

    auto row = [](const char* name, const QByteArray& packet, const QByteArray& expected) {
        QTest::newRow(name) << packet << expected;
    };
    const QByteArray none;

    row("mode show", R"({"type":"mode","id":"10","from":"tester","value":"show"})",
        envelope("10", "tester", "mode"));
    row("mode remote", R"({"type":"mode","id":"11","from":"tester","value":"remote"})",
        envelope("11", "tester", "mode"));
    row("mode other", R"({"type":"mode","id":"12","from":"tester","value":"Show"})",
        envelope("12", "tester", "mode", "-1", "unknown mode::Show"));
    row("mode without value", R"({"type":"mode","id":"13","from":"tester"})",
        envelope("13", "tester", "mode", "-1", "unknown mode::"));
    row("mode non-ASCII", R"({"type":"mode","id":"14","from":"tester","value":"放映"})",
        envelope("14", "tester", "mode", "-1", "unknown mode::放映"));
    row("mode value of another type", R"({"type":"mode","id":"15","from":"tester","value":1})",
        envelope("15", "tester", "mode", "-1", "unknown mode::"));

    // Only loopback addresses where nothing listens: the fetch fails quietly.
    row("show.image",
        R"({"type":"show.image","id":"20","from":"tester","url":"http://127.0.0.1:1/a.png"})",
        envelope("20", "tester", "show.image"));
    row("show.image without url", R"({"type":"show.image","id":"21","from":"tester"})",
        envelope("21", "tester", "show.image", "-1", "url is empty"));
    row("show.image empty url", R"({"type":"show.image","id":"22","from":"tester","url":""})",
        envelope("22", "tester", "show.image", "-1", "url is empty"));
    row("show.image url not a string", R"({"type":"show.image","id":"23","from":"tester","url":7})",
        envelope("23", "tester", "show.image", "-1", "url is empty"));
    row("show.video",
        R"({"type":"show.video","id":"24","from":"tester","url":"http://127.0.0.1:1/a.mp4"})",
        envelope("24", "tester", "show.video"));
    row("show.video without url", R"({"type":"show.video","id":"25","from":"tester"})",
        envelope("25", "tester", "show.video", "-1", "url is empty(video)"));

    struct Act {
        const char* name;
        const char* fields;
    };
    const Act acts[] = {{"play", ""},
                        {"stop", ""},
                        {"pause", ""},
                        {"fast-forward", R"(,"time":"5000")"},
                        {"fast-backward", R"(,"time":"5000")"},
                        {"seek", R"(,"time":"120000")"},
                        {"volume", R"(,"value":"40")"},
                        {"mute", R"(,"value":"true")"},
                        {"mute", R"(,"value":"false")"},
                        {"mute", R"(,"value":"TRUE")"},
                        {"seek", R"(,"time":"abc")"}};
    int n = 30;
    for (const Act& a : acts) {
        const QByteArray id = QByteArray::number(n++);
        QTest::newRow(qPrintable(QStringLiteral("control %1%2").arg(a.name, a.fields)))
            << R"({"type":"show.video.control","id":")" + id + R"(","from":"tester","act":")" +
                   a.name + '"' + a.fields + '}'
            << envelope(id, "tester", "show.video.control");
    }
    row("control unknown act",
        R"({"type":"show.video.control","id":"50","from":"tester","act":"rewind"})",
        envelope("50", "tester", "show.video.control", "-1", "unknown control act=:rewind"));
    row("control without act", R"({"type":"show.video.control","id":"51","from":"tester"})",
        envelope("51", "tester", "show.video.control", "-1", "unknown control act=:"));

    row("resolution set",
        R"({"type":"resolution","id":"60","from":"tester","act":"set","width":"1024","height":"768"})",
        envelope("60", "tester", "resolution"));
    row("resolution set width not a number",
        R"({"type":"resolution","id":"61","from":"tester","act":"set","width":"wide","height":"768"})",
        envelope("61", "tester", "resolution"));
    row("resolution set empty width",
        R"({"type":"resolution","id":"62","from":"tester","act":"set","width":"","height":"768"})",
        envelope("62", "tester", "resolution", "-1", "width or height is empty W::H:768"));
    row("resolution set without height",
        R"({"type":"resolution","id":"63","from":"tester","act":"set","width":"1024"})",
        envelope("63", "tester", "resolution", "-1", "width or height is empty W:1024:H:"));
    row("resolution reduction",
        R"({"type":"resolution","id":"64","from":"tester","act":"reduction"})",
        envelope("64", "tester", "resolution"));
    row("resolution unknown act", R"({"type":"resolution","id":"65","from":"tester","act":"zoom"})",
        envelope("65", "tester", "resolution", "-1", "unknown type=resolution:act=:zoom"));

    row("file.list", R"({"type":"file.list","id":"42","from":"tester"})", fileListReply("42"));
    row("file.open", R"({"type":"file.open","id":"43","from":"tester","path":"/no/such"})",
        R"({"desc":" ","from":"jwshow","id":"43","ret":"0","to":" ","type":"file.open"})");
    row("file.close", R"({"type":"file.close","id":"44","from":"tester","path":"x"})",
        R"({"desc":" ","from":"jwshow","id":"44","ret":"0","to":" ","type":"file.close"})");

    row("mouse.move", R"({"type":"mouse.move","id":"70","from":"tester","x":500,"y":500})", none);
    row("mouse.move strings", R"({"type":"mouse.move","id":"71","from":"tester","x":"5"})", none);
    const char* boards[] = {
        R"({"type":"whiteboard.start","id":"80","from":"tester"})",
        R"({"type":"whiteboard.color","id":"81","from":"tester","r":255,"g":0,"b":0})",
        R"({"type":"whiteboard.pen.width","id":"82","from":"tester","value":"4"})",
        R"({"type":"whiteboard.shape","id":"83","from":"tester","act":"curve"})",
        R"({"type":"whiteboard.draw.start","id":"84","from":"tester","x":100,"y":100})",
        R"({"type":"whiteboard.drawing","id":"85","from":"tester","x":200,"y":300})",
        R"({"type":"whiteboard.draw.end","id":"86","from":"tester"})",
        R"({"type":"whiteboard.shape","id":"87","from":"tester","act":"hexagon"})",
        R"({"type":"whiteboard.string.start","id":"88","from":"tester","x":10,"y":10})",
        R"({"type":"whiteboard.string.set","id":"89","from":"tester","text":"hi"})",
        R"({"type":"whiteboard.string.end","id":"90","from":"tester"})",
        R"({"type":"whiteboard.undo","id":"91","from":"tester"})",
        R"({"type":"whiteboard.redraw","id":"92","from":"tester"})",
        R"({"type":"whiteboard.clear","id":"93","from":"tester"})",
        R"({"type":"whiteboard.end","id":"94","from":"tester"})"};
    for (const char* b : boards)
        QTest::newRow(qPrintable(QJsonDocument::fromJson(b)["type"].toString() + " " +
                                 QJsonDocument::fromJson(b)["id"].toString()))
            << QByteArray(b) << none;
    row("unknown type", R"({"type":"teleport","id":"95","from":"tester"})", none);
    row("type in another case", R"({"type":"MODE","id":"96","from":"tester","value":"show"})",
        none);

    row("no id", R"({"type":"mode","from":"tester","value":"show"})",
        envelope("", "tester", "mode"));
    row("no from", R"({"type":"mode","id":"97","value":"show"})", envelope("97", "", "mode"));
    row("id of another type", R"({"type":"mode","id":98,"from":"tester","value":"show"})",
        envelope("", "tester", "mode"));
    row("nested values",
        R"({"type":"mode","id":"99","from":"tester","value":"show","x":{"a":[{"b":{}}]}})",
        envelope("99", "tester", "mode"));

    // Broken packets: no reply, and the connection goes on.
    row("not JSON", "hello there", none);
    row("JSON array", R"([{"type":"mode","id":"100","from":"tester","value":"show"}])", none);
    row("empty type", R"({"type":"","id":"101","from":"tester"})", none);
    row("no type", R"({"id":"102","from":"tester"})", none);
    row("type not a string", R"({"type":5,"id":"103","from":"tester"})", none);
    row("only whitespace", " \r\n\t ", none);
    row("broken object", R"({"type":"mode","id":"104",})", none);
    row("stray closing brace", "}", none);
}

void TestE2eProtocol::replies()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, expected);
    QVERIFY(c_->sendRaw(packet));
    if (!expected.isEmpty())
        QCOMPARE(c_->nextReply(), expected);
    QVERIFY(probeAnswered(*c_));
}

// "rcserver.keepalive" has no reply; a port above 0 becomes the rc_port of the
// next logins, any other value leaves it.
void TestE2eProtocol::keepAliveChangesRcPort()
{
    auto c = connected();
    QVERIFY(c);
    QVERIFY(
        c->sendRaw(R"({"type":"rcserver.keepalive","id":"0","from":"jwrcserver","port":"7777"})"));
    QVERIFY(probeAnswered(*c));
    QCOMPARE(c->login("k1", "K", "pw", "1"), loginReply("1", "k1", "K", 7777, token_));
    for (const char* port : {R"("0")", R"("-5")", R"("abc")", R"("")", "6000"}) {
        QVERIFY(c->sendRaw(R"({"type":"rcserver.keepalive","id":"0","from":"jwrcserver","port":)" +
                           QByteArray(port) + "}"));
        QVERIFY(probeAnswered(*c));
        QCOMPARE(c->login("k1", "K", "pw", "2"), loginReply("2", "k1", "K", 7777, token_));
    }
    QVERIFY(c->sendRaw(R"({"type":"rcserver.keepalive","from":"x","port":")" +
                       QByteArray::number(rcPort_) + "\"}"));
    QCOMPARE(c->login("k1", "K", "pw", "3"), loginReply("3", "k1", "K", rcPort_, token_));
}

void TestE2eProtocol::framing()
{
    auto c = connected();
    QVERIFY(c);
    // Two packets in one write: both answered, in order.
    QVERIFY(c->sendRaw(R"({"type":"mode","id":"a","from":"f","value":"show"})"
                       R"({"type":"mode","id":"b","from":"f","value":"bad"})"));
    QCOMPARE(c->nextReply(), envelope("a", "f", "mode"));
    QCOMPARE(c->nextReply(), envelope("b", "f", "mode", "-1", "unknown mode::bad"));
    QVERIFY(probeAnswered(*c));

    // One object in two writes 200 ms apart: the program keeps what it has
    // and answers the whole object once.
    const QByteArray whole = R"({"type":"mode","id":"split","from":"f","value":"remote"})";
    QVERIFY(c->sendRaw(whole.left(20)));
    QTest::qWait(200);
    QVERIFY(c->sendRaw(whole.mid(20)));
    QCOMPARE(c->nextReply(), envelope("split", "f", "mode"));
    QVERIFY(probeAnswered(*c));

    // A multi-byte UTF-8 character cut between two writes.
    const QByteArray utf8 = R"({"type":"mode","id":"u","from":"f","value":"放映"})";
    const int cut = utf8.indexOf("放") + 1;
    QVERIFY(c->sendRaw(utf8.left(cut)));
    QTest::qWait(200);
    QVERIFY(c->sendRaw(utf8.mid(cut)));
    QCOMPARE(c->nextReply(), envelope("u", "f", "mode", "-1", "unknown mode::放映"));
    QVERIFY(probeAnswered(*c));

    // A complete packet and the first half of the next in one write.
    const QByteArray second = R"({"type":"mode","id":"d","from":"f","value":"show"})";
    QVERIFY(c->sendRaw(R"({"type":"mode","id":"c","from":"f","value":"show"})" + second.left(10)));
    QCOMPARE(c->nextReply(), envelope("c", "f", "mode"));
    QVERIFY(c->sendRaw(second.mid(10)));
    QCOMPARE(c->nextReply(), envelope("d", "f", "mode"));

    // A packet far longer than one read of the program.
    const QByteArray longId(6000, 'L');
    QVERIFY(c->sendRaw(R"({"type":"mode","id":")" + longId + R"(","from":"f","value":"show"})"));
    QCOMPARE(c->nextReply(), envelope(longId, "f", "mode"));

    // A string holding braces and quotes does not cut the packet.
    QVERIFY(c->sendRaw(R"({"type":"mode","id":"{\"}","from":"f","value":"}{"})"));
    QCOMPARE(c->nextReply(), envelope(R"({\"})", "f", "mode", "-1", "unknown mode::}{"));
    QVERIFY(probeAnswered(*c));

    // Replies go to the connection of the request, not to the controller's login.
    auto other = connected();
    QVERIFY(other);
    QVERIFY(other->sendRaw(R"({"type":"mode","id":"o","from":"tester","value":"show"})"));
    QCOMPARE(other->nextReply(), envelope("o", "tester", "mode"));
    QVERIFY(c_->expectNoReply(100));
}

void TestE2eProtocol::logoutClosesWithoutReply()
{
    auto c = connected();
    QVERIFY(c);
    QCOMPARE(c->login("leaver", "L", "pw"), loginReply("1", "leaver", "L", rcPort_, token_));
    QVERIFY(c->sendRaw(R"({"type":"logout","id":"2","from":"leaver"})"));
    QVERIFY(c->waitForClose(5000));
    QCOMPARE(c->pending(), QByteArray());
    // The other controllers go on.
    QVERIFY(probeAnswered(*c_));
}

QTEST_GUILESS_MAIN(TestE2eProtocol)
#include "tst_e2e_protocol.moc"
