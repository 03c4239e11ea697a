// The control protocol of the real program, byte for byte: the reply (or silence)
// for every packet type, framing across and within writes, broken packets, logout.

#include "e2eutil.h"
#include "jwinstance.h"

#include <QtTest>

using namespace jwtest;
using namespace e2e;

// Declared before any raw string literal: moc does not follow those.
class TestE2eProtocol : public QObject
{
    Q_OBJECT
    std::unique_ptr<JwInstance> prog_;
    std::unique_ptr<Controller> c_; // logged in as "tester"
    QByteArray token_;
    quint16 rcPort_ = 0;
    int probes_ = 0;

    bool probeAnswered(Controller& c);

private slots:
    void initTestCase();
    void cleanupTestCase() { QCOMPARE(prog_->stop(), 0); } // SIGTERM is an orderly quit
    void replies_data();
    void replies();
    void greetingRoutingAndLogout();
};

namespace
{
// A packet of type from "t" with id "7" and the members in extra.
QByteArray pk(const QByteArray& type, const QByteArray& extra = "")
{
    return R"({"type":")" + type + R"(","id":"7","from":"t")" + extra + "}";
}
QByteArray ok(const QByteArray& type)
{
    return envelope("7", "t", type);
}
QByteArray err(const QByteArray& type, const QByteArray& desc)
{
    return envelope("7", "t", type, "-1", desc);
}
} // namespace

// A request that touches nothing but the reply path: its reply, next on the line,
// proves that what was written before it got no other reply.
bool TestE2eProtocol::probeAnswered(Controller& c)
{
    const QByteArray id = "probe" + QByteArray::number(++probes_);
    const QByteArray got = c.request({{"type", "file.open"}, {"id", QString(id)}, {"path", "/x"}});
    const QByteArray want = R"({"desc":" ","from":"jwshow","id":")" + id +
                            R"(","ret":"0","to":" ","type":"file.open"})";
    if (got != want)
        qWarning() << "expected" << want << "got" << got;
    return got == want;
}

void TestE2eProtocol::initTestCase()
{
    JwInstanceOptions o;
    o.withoutCompanion = true; // its keep-alives would change rc_port under our feet
    prog_ = std::make_unique<JwInstance>(o);
    QVERIFY2(prog_->start(), qPrintable(prog_->errorString()));
    rcPort_ = prog_->port() + 1;
    c_ = std::make_unique<Controller>(prog_->port());
    QVERIFY(c_->connectToHost());
    const QByteArray r = c_->login("tester", "Tester", "pw");
    token_ = tokenOf(r);
    QCOMPARE(r, loginReply("1", "tester", "Tester", rcPort_, token_));
    QVERIFY2(QRegularExpression("^[0-9]{6}$").match(QString(token_)).hasMatch(), token_.data());
    QVERIFY(token_.toInt() >= 600000 && token_.toInt() <= 999998);
}

void TestE2eProtocol::replies_data()
{
    QTest::addColumn<QByteArrayList>("writes");
    QTest::addColumn<QByteArrayList>("replies"); // what each write brings; "" for nothing
    auto row = [](const char* name, const QByteArray& packet, const QByteArray& reply) {
        QTest::newRow(name) << QByteArrayList{packet} << QByteArrayList{reply};
    };
    auto login = [this](const QByteArray& from, const QByteArray& name, quint16 rc) {
        return loginReply("7", from, name, rc, token_, "0");
    };
    // Logins: the same code every time; an empty password is refused in the reply.
    row("login known id", pk("login", R"(,"from":"tester","name":"A","pwd":"s")"),
        loginReply("7", "tester", "A", rcPort_, token_));
    row("login new", pk("login", R"(,"name":"B","pwd":"s")"), login("t", "B", rcPort_));
    row("login empty pwd", pk("login", R"(,"name":"B","pwd":"")"),
        loginReply("7", "t", "B", rcPort_, token_, "-1", "no password"));
    row("login no pwd, no name", pk("login"),
        loginReply("7", "t", "", rcPort_, token_, "-1", "no password"));
    row("login UTF-8", pk("login", R"(,"from":"手机","name":"张三","pwd":"s")"),
        login("手机", "张三", rcPort_));
    // The companion's keep-alive: no reply; a port above 0 becomes the next rc_port.
    const QByteArray keep = R"({"type":"rcserver.keepalive","id":"0","from":"x","port":)";
    const QByteArray again = pk("login", R"(,"name":"K","pwd":"s")");
    row("keepalive 7777", keep + R"("7777"})" + again, login("t", "K", 7777));
    for (const char* bad : {R"("0")", R"("abc")", "6000"})
        QTest::newRow(qPrintable(QStringLiteral("keepalive %1 ignored").arg(bad)))
            << QByteArrayList{keep + bad + "}" + again} << QByteArrayList{login("t", "K", 7777)};
    row("keepalive back", keep + '"' + QByteArray::number(rcPort_) + "\"}" + again,
        login("t", "K", rcPort_));

    row("mode show", pk("mode", R"(,"value":"show")"), ok("mode"));
    row("mode remote", pk("mode", R"(,"value":"remote")"), ok("mode"));
    row("mode other case", pk("mode", R"(,"value":"Show")"), err("mode", "unknown mode::Show"));
    row("mode no value", pk("mode"), err("mode", "unknown mode::"));
    row("mode UTF-8", pk("mode", R"(,"value":"放映")"), err("mode", "unknown mode::放映"));
    row("mode value a number", pk("mode", R"(,"value":1)"), err("mode", "unknown mode::"));
    // Only a loopback address where nothing listens: the fetch fails quietly.
    row("show.image", pk("show.image", R"(,"url":"http://127.0.0.1:1/a.png")"), ok("show.image"));
    row("show.image no url", pk("show.image"), err("show.image", "url is empty"));
    row("show.image empty url", pk("show.image", R"(,"url":"")"),
        err("show.image", "url is empty"));
    row("show.image url a number", pk("show.image", R"(,"url":7)"),
        err("show.image", "url is empty"));
    row("show.video", pk("show.video", R"(,"url":"http://127.0.0.1:1/a.mp4")"), ok("show.video"));
    row("show.video no url", pk("show.video"), err("show.video", "url is empty(video)"));
    for (const char* act :
         {R"("play")", R"("stop")", R"("pause")", R"("fast-forward","time":"5")",
          R"("fast-backward","time":"5")", R"("seek","time":"abc")", R"("volume","value":"40")",
          R"("mute","value":"true")", R"("mute","value":"TRUE")"})
        QTest::newRow(act) << QByteArrayList{pk("show.video.control",
                                                R"(,"act":)" + QByteArray(act))}
                           << QByteArrayList{ok("show.video.control")};
    row("control unknown act", pk("show.video.control", R"(,"act":"rewind")"),
        err("show.video.control", "unknown control act=:rewind"));
    row("control no act", pk("show.video.control"),
        err("show.video.control", "unknown control act=:"));
    const QByteArray res = "resolution";
    row("resolution set", pk(res, R"(,"act":"set","width":"1024","height":"768")"), ok(res));
    row("resolution set letters", pk(res, R"(,"act":"set","width":"w","height":"768")"), ok(res));
    row("resolution set empty", pk(res, R"(,"act":"set","width":"","height":"768")"),
        err(res, "width or height is empty W::H:768"));
    row("resolution set no height", pk(res, R"(,"act":"set","width":"1024")"),
        err(res, "width or height is empty W:1024:H:"));
    row("resolution reduction", pk(res, R"(,"act":"reduction")"), ok(res));
    row("resolution unknown act", pk(res, R"(,"act":"zoom")"),
        err(res, "unknown type=resolution:act=:zoom"));
    const QByteArray file = R"({"name":"xx.jpg","size":10000})";
    row("file.list", pk("file.list"),
        R"({"desc":" ","files":[)" + file + "," + file + "," + file +
            R"(],"from":"jwshow","id":"7","ret":"0","to":"00","type":"file.list"})");
    row("file.close", pk("file.close", R"(,"path":"x")"),
        R"({"desc":" ","from":"jwshow","id":"7","ret":"0","to":" ","type":"file.close"})");
    // The envelope: id and from are echoed as strings, anything else is ignored.
    row("no id", R"({"type":"mode","from":"t","value":"show"})", envelope("", "t", "mode"));
    row("no from", R"({"type":"mode","id":"7","value":"show"})", envelope("7", "", "mode"));
    row("id a number", R"({"type":"mode","id":7,"from":"t","value":"show"})",
        envelope("", "t", "mode"));
    row("nested members", pk("mode", R"(,"value":"show","x":{"a":[{"b":{}}]})"), ok("mode"));

    // No reply at all, and the connection goes on.
    row("mouse.move", pk("mouse.move", R"(,"x":500,"y":500)"), "");
    row("mouse.move strings", pk("mouse.move", R"(,"x":"5")"), "");
    auto wb = [](const char* type, const char* extra = "") {
        return pk(QByteArray("whiteboard.") + type, extra);
    };
    row("every whiteboard packet",
        wb("start") + wb("color", R"(,"r":255,"g":0,"b":0)") + wb("pen.width", R"(,"value":"4")") +
            wb("shape", R"(,"act":"curve")") + wb("draw.start", R"(,"x":1,"y":1)") +
            wb("drawing", R"(,"x":200,"y":300)") + wb("draw.end") +
            wb("shape", R"(,"act":"hexagon")") + wb("string.start", R"(,"x":1,"y":1)") +
            wb("string.set", R"(,"text":"hi")") + wb("string.end") + wb("undo") + wb("redraw") +
            wb("clear") + wb("end"),
        "");
    row("unknown type", pk("teleport"), "");
    row("type in another case", pk("MODE", R"(,"value":"show")"), "");
    row("not JSON", "hello there", "");
    row("JSON array", "[" + pk("mode", R"(,"value":"show")") + "]", "");
    row("empty type", pk(""), "");
    row("no type", R"({"id":"7","from":"t"})", "");
    row("type a number", R"({"type":5,"id":"7","from":"t"})", "");
    row("only white space", " \r\n\t ", "");
    row("broken object", R"({"type":"mode","id":"104",})", "");
    row("stray closing brace", "}", "");

    // Framing: replies follow the objects, whatever the writes were.
    row("two packets in one write",
        pk("mode", R"(,"value":"show")") + R"({"type":"mode","id":"b","from":"t","value":"x"})",
        ok("mode") + envelope("b", "t", "mode", "-1", "unknown mode::x"));
    const QByteArray whole = pk("mode", R"(,"value":"remote")");
    QTest::newRow("one object in two writes")
        << QByteArrayList{whole.left(20), whole.mid(20)} << QByteArrayList{"", ok("mode")};
    // (Framing within and across reads in detail: the splitter's own table.)
    row("braces and quotes in strings", R"({"type":"mode","id":"{\"}","from":"t","value":"}{"})",
        envelope(R"({\"})", "t", "mode", "-1", "unknown mode::}{"));
}

void TestE2eProtocol::replies()
{
    QFETCH(QByteArrayList, writes);
    QFETCH(QByteArrayList, replies);
    for (int i = 0; i < writes.size(); ++i) {
        QVERIFY(c_->sendRaw(writes[i]));
        QByteArray got, one;
        while (got.size() < replies[i].size() && !(one = c_->nextReply()).isEmpty())
            got += one;
        QCOMPARE(got, replies[i]);
        if (replies[i].isEmpty() && i + 1 < writes.size())
            QTest::qWait(200); // the program reads this part on its own
    }
    QVERIFY(probeAnswered(*c_));
}

void TestE2eProtocol::greetingRoutingAndLogout()
{
    Controller c(prog_->port());
    QVERIFY(c.connectToHost());
    QCOMPARE(c.greeting(), expectedGreeting());
    QVERIFY(c.expectNoReply(200)); // the greeting comes alone
    // Replies go to the connection of the request, not to the one "tester" logged in on.
    QCOMPARE(c.request({{"type", "mode"}, {"id", "o"}, {"from", "tester"}, {"value", "show"}}),
             envelope("o", "tester", "mode"));
    QVERIFY(c_->expectNoReply(100));
    // Logout: no reply, the program closes the connection, the others go on.
    QCOMPARE(c.login("leaver", "L", "pw"), loginReply("1", "leaver", "L", rcPort_, token_));
    QVERIFY(c.sendRaw(R"({"type":"logout","id":"2","from":"leaver"})"));
    QVERIFY(c.waitForClose(5000));
    QCOMPARE(c.pending(), QByteArray());
    QVERIFY(probeAnswered(*c_));
}

QTEST_GUILESS_MAIN(TestE2eProtocol)
#include "tst_e2e_protocol.moc"
