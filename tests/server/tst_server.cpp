// The control server in process, no window: routing, splitter, registry, sockets, and
// ordering and fairness on its threads (the GUI thread's work waits while this one sleeps).

#include "base/showimagerect.h"
#include "commandtext.h"
#include "e2eutil.h"
#include "jwinstance.h"
#include "protocol/jsonscanner.h"
#include "server/controlserver.h"
#include "server/packetsplitter.h"
#include "server/pairingguard.h"

#include <QHostInfo>
#include <QtTest>
#include <climits>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

using e2e::j;
using jwtest::Controller;
using jwtest::RawSocket;

namespace
{
QByteArray loginOf(const QByteArray& from, const char* more = "")
{
    return j("{'type':'login','pwd':'x','from':'") + from + '"' + j(more) + '}';
}
bool answered(Controller& c, const char* id)
{
    return c.request({{"type", "mode"}, {"id", id}, {"from", "c"}, {"value", "remote"}}) ==
           e2e::envelope(id, "c", "mode");
}
// Waits without running the event loop.
bool waitUntil(const std::function<bool()>& done, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired())
        QThread::msleep(2);
    return done();
}
} // namespace

class TestServer : public QObject
{
    Q_OBJECT
    quint16 port = jwtest::freePort();
    ShowImageRect picture;
    PairingGuard guard{"654321"};
    std::unique_ptr<ControlServer> server;
    // A second one whose dispatcher has no thread: driven straight from here, so
    // that nothing of it is touched by two threads.
    std::unique_ptr<ControlServer> idle;
    JWdataManage* dm = nullptr;
    JWShowService* srv = nullptr;
    JwUserManage* users = nullptr;
    QStringList routed; // what the windows were asked, in order
    static constexpr int kMax = JWdataManage::kMaxGuiPerConnection;

    // The commands given to the windows since the last call.
    QString emitted() { return std::exchange(routed, {}).join("; "); }
    int countOf(const char* what) const { return int(routed.filter(what).size()); }
    // Lets the GUI thread work until everything queued has been handled.
    void release()
    {
        QTRY_VERIFY_WITH_TIMEOUT(dm->QueuedCost() == 0 && dm->GuiBacklog() == 0, 60000);
    }
    void handle(const QByteArray& packets, SOCKET sock = 42)
    {
        for (const QString& one : PacketSplitter().feed(packets).texts())
            idle->dispatcher().HandleText(one, sock);
    }

    std::unique_ptr<Controller> connected()
    {
        auto c = std::make_unique<Controller>(port);
        const bool ok = c->connectToHost() && c->greeting() == jwtest::expectedGreeting();
        return ok ? std::move(c) : nullptr;
    }

private slots:
    void initTestCase()
    {
        unsetenv("DISPLAY"); // "mouse.move" must not move the pointer of a GUI test
        ServerConfig config;
        config.hostName = QHostInfo::localHostName(); // the greeting Controller expects
        config.code = "654321";
        config.pairing = &guard; // it asks for no code until told to
        config.picture = &picture;
        server = std::make_unique<ControlServer>(config);
        dm = &server->dispatcher(), srv = &server->sockets(), users = &server->registry();
        dm->SetCompanionPort(7000);
        QVERIFY(server->listen(port));
        JWdataManage::Receivers r;
        r.show = [this](const cmd::ShowCommand& c) { routed << jwtest::text(c); };
        r.boards = [this](const cmd::BoardCommand& c) { routed << jwtest::text(c); };
        r.main = [this](const cmd::MainCommand& c) { routed << jwtest::text(c); };
        server->start(r);
        idle = std::make_unique<ControlServer>(config);
        idle->dispatcher().SetReceivers(r);
        QString seen; // the host's addresses, announced at the start, out of the rows' way
        QTRY_COMPARE((seen += emitted()), QString("addresses"));
    }
    void splitter_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<int>("pending"); // bytes kept after the last read
        auto row = [](const char* name, const QByteArrayList& reads, const QStringList& pieces,
                      int pending = 0) { QTest::newRow(name) << reads << pieces << pending; };
        // That cuts between reads change nothing is the packets fuzz target's check.
        const QByteArray a = j("{'a':1}"), b = j("{'b':{'c':[{},{}]}}");
        row("nested objects in one read", {a + b}, {a, b});
        row("object and the start of the next", {a + j("{'b':")}, {a}, 5);
        row("junk stays with its object", {"xx" + a + b}, {"xx" + a, b});
        row("a quote in junk opens no string", {"\"" + a}, {"\"" + a});
        row("a stray closing brace drops what came before", {"ab}" + a, "}}"}, {a});
        // A zero byte separates packets, however the reads fall around it.
        const QByteArray nul("\0", 1);
        row("zero-terminated packets", {a + nul + b + nul}, {a, b});
        row("a zero byte ends an unfinished one", {"{\"a\":" + nul + "z}", "1}" + nul + "{}"},
            {"{\"a\":", "{}"});
        row("a line end goes with the next packet", {a + "\r\n", b}, {a, "\r\n" + b});
        row("junk waits for the object it precedes", {"\n", "x", a + "y"}, {"\nx" + a}, 1);
        row("white space before an object stays", {a + " " + b, ""}, {a, " " + b});
        // What a connection keeps is capped: a longer rest is dropped, a shorter one kept.
        const QByteArray big = j("{'a':'") + QByteArray(PacketSplitter::kMaxPending - 100, 'x');
        row("a rest past the cap is dropped", {big + QByteArray(200, 'x'), a}, {a});
        row("an object under the cap is kept", {big + "\"}"}, {big + "\"}"});
    }
    void splitter()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QStringList, pieces);
        QFETCH(int, pending);
        PacketSplitter s;
        QStringList got;
        for (const QByteArray& r : reads)
            for (int at = 0; at < r.size() || at == 0; at += 2048) // as the server reads
                got += s.feed(r.mid(at, 2048)).texts();
        QCOMPARE(got, pieces);
        QCOMPARE(s.pending(), pending);
    }

    // A browser's request line on the control port is told from a phone's packet
    // by its first bytes, whichever way they arrive.
    void httpOpening()
    {
        for (const auto& [opening, texts] : QList<QPair<HttpOpening, QByteArrayList>>{
                 {HttpOpening::Yes, {"POST / HTTP/1.1", "GET ", "OPTIONS "}},
                 {HttpOpening::NeedMore, {"PO", ""}},
                 {HttpOpening::No, {"{\"type\":", "get / ", "FETCH /", "POSTPOST", " GET /"}}})
            for (const QByteArray& text : texts)
                QVERIFY2(HttpRequestOpening(text) == opening, text.constData());
    }

    // Thousandths of the picture become pixels without overflow, whatever the numbers.
    void mapImagePoint()
    {
        const double nan = std::nan(""), big = 1e300, M = INT_MAX, m = INT_MIN;
        const QList<QPair<QList<double>, QPoint>> rows{
            // x, y, left, top, width, height
            {{999.9, -0.9, 560, 240, 800, 600}, {560 + 799, 240}}, // cut toward the corner
            {{nan, nan, 7, 9, 800, 600}, {7, 9}},
            {{big, -big, 0, 0, 1000, 1000}, {INT_MAX, INT_MIN}},
            {{big, big, M, m, M, M}, {INT_MAX, INT_MAX}},       // offset at the limit
            {{1000, 500, -2e9, 0, 2e9, 2e9}, {0, 1000000000}}}; // product past 32 bits
        for (const auto& [in, out] : rows)
            QCOMPARE(MapImagePoint(in[0], in[1], int(in[2]), int(in[3]), int(in[4]), int(in[5])),
                     out);
    }

    // What the last case left (its connections' closes) is worked off first.
    void init()
    {
        idle->dispatcher().HandleClose(42);
        QTRY_VERIFY_WITH_TIMEOUT(users->Count() == 0 && dm->GuiBacklog() == 0, 20000);
        routed.clear();
    }

    // Every packet type over a connection: the reply byte for byte, and what is routed.
    void packets_data()
    {
        QTest::addColumn<QByteArray>("packets");
        QTest::addColumn<QByteArray>("replies");
        QTest::addColumn<QString>("routed");
        auto row = [](const char* type, const QByteArray& members, const QByteArray& replies,
                      const QString& routed = {}) {
            QTest::newRow(type + members)
                << j("{'type':'") + type + j("','id':'5','from':'p1'") + j(members) + "}" << replies
                << routed;
        };
        auto ok = [](const char* type) { return e2e::envelope("5", "p1", type); };
        auto err = [](const char* type, const QByteArray& desc) {
            return e2e::envelope("5", "p1", type, "-1", desc);
        };
        auto login = [](const char* name, quint16 rc, const char* ret = "0",
                        const char* desc = "") {
            return e2e::loginReply("5", "p1", name, rc, "654321", ret, desc);
        };
        const char* control = "show.video.control";
        auto loggedIn = [&login](const char* name, const QByteArray& more,
                                 const QString& routed = {}) {
            QTest::newRow(name) << j("{'type':'login','id':'5','from':'p1','pwd':'s'}") + more
                                << login("", 7000) << "added p1,," + routed;
        };
        row("login", ",'name':'n2','ip':'9.9.9.9','pwd':'s'", login("n2", 7000),
            "added p1,n2,9.9.9.9");
        row("login", ",'name':'张三','pwd':''", login("张三", 7000, "-1", "no password"),
            "added p1,张三,");
        // The companion's port: no reply; a number above 0 is the next rc_port.
        for (const char* port : {"'7777'", "'0'", "'abc'", "6000", "'7000'"})
            QTest::newRow(port)
                << j("{'type':'rcserver.keepalive','port':") + j(port) +
                       j("}{'type':'login','id':'5','from':'p1','name':'K','pwd':'s'}")
                << login("K", QByteArray(port) == "'7000'" ? 7000 : 7777) << "added p1,K,";
        // A ninth id on one connection is refused, with a reply.
        QByteArray nine, replies;
        QString added;
        for (int i = 0; i < 9; ++i) {
            const QByteArray p = "p" + QByteArray::number(i);
            nine += loginOf(p, ",'id':'5'");
            replies += e2e::loginReply("5", p, "", 7000, "654321", i < 8 ? "0" : "-1",
                                       i < 8 ? "" : "too many controllers");
            added += i < 8 ? "added " + p + ",,; " : "";
        }
        QTest::newRow("login, a ninth on one connection") << nine << replies << added.chopped(2);
        row("mode", ",'value':'show'", ok("mode"), "show shown");
        row("mode", ",'value':'remote'", ok("mode"), "show hidden");
        row("mode", ",'value':'Show'", err("mode", "unknown mode::Show"));
        row("mode", ",'value':1", err("mode", "unknown mode::"));
        row("show.image", ",'url':'http://h/a.png'", ok("show.image"), "picture #,http://h/a.png");
        row("show.image", ",'url':7", err("show.image", "url is empty"));
        row("show.video", ",'url':'rtsp://v,v'", ok("show.video"), "video rtsp://v,v,#,p1");
        row("show.video", "", err("show.video", "url is empty(video)"));
        for (const QByteArray url :
             {"file:///etc/passwd", "v4l2:///dev/video0", "screen://", "/tmp/a.mp4"})
            row("show.video", ",'url':'" + url + "'", err("show.video", "unsupported url:" + url));
        row(control, ",'act':'play'", ok(control), "video play");
        row(control, ",'act':'fast-forward','time':'1500'", ok(control), "video step 1500");
        row(control, ",'act':'fast-backward','time':'1500'", ok(control), "video step -1500");
        row(control, ",'act':'fast-backward','time':'-9223372036854775808'", ok(control),
            "video step 0");
        row(control, ",'act':'seek','time':'5000000000'", ok(control), "video seek 5000000000");
        row(control, ",'act':'seek','time':'99999999999999999999'", ok(control), "video seek 0");
        row(control, ",'act':'volume','value':'0x10'", ok(control), "video volume 0");
        row(control, ",'act':'mute','value':'true'", ok(control), "video mute");
        row(control, ",'act':'mute','value':'True'", ok(control), "video unmute");
        row(control, ",'act':'rewind'", err(control, "unknown control act=:rewind"));
        row("resolution", ",'act':'set','width':'-5','height':'768'", ok("resolution"),
            "resolution 0,768");
        row("resolution", ",'act':'set','width':'1024'",
            err("resolution", "width or height is empty W:1024:H:"));
        row("resolution", ",'act':'reduction'", ok("resolution"), "resolution restored");
        row("resolution", ",'act':'zoom'", err("resolution", "unknown type=resolution:act=:zoom"));
        row("mouse.move", ",'x':'5'", "");
        // A board opens only for a controller logged in on this connection.
        row("whiteboard.start", "", "", "");
        loggedIn("whiteboard.start logged in", j("{'type':'whiteboard.start','from':'p1'}"),
                 "; board p1 open");
        // The rest of a board's packets (what the boards' own suite sees is left to it).
        QByteArray board;
        QString routed;
        for (const auto& [packet, command] : QList<QPair<const char*, const char*>>{
                 {"draw.start','x':500,'y':500", "stroke-start 960,540"},
                 {"drawing','x':1000.7,'y':'1000'", "stroke-to 1360,240"},
                 {"shape','act':'curve'", "shape 5"},
                 {"shape','act':'ellipse'", "shape 3"},
                 {"shape','act':'line'", "shape 1"},
                 {"shape','act':'rect'", "shape 4"},
                 {"color','r':1e300,'g':'7','b':-3.5", "color 2147483647,0,-3"},
                 {"pen.width','value':'2147483648'", "pen 0"},
                 {"string.start','x':0,'y':0", "text-start 560,240"},
                 {"string.set','text':'你好'", "text 你好"},
                 {"string.end'", "text-end"}}) {
            board += j("{'from':'p1','type':'whiteboard.") + j(packet) + "}";
            routed += QString("; board p1 ") + command;
        }
        loggedIn("a board's packets", board, routed);
        // Acting for a controller logged in elsewhere does nothing.
        loggedIn("another's board", j("{'type':'whiteboard.clear','from':'p2'}"
                                      "{'type':'whiteboard.drawing','from':'p2'}"));
        // The envelope echoes id, from and to as strings; anything else is ignored.
        QTest::newRow("envelope") << j("{'type':'mode','id':7,'value':'show','x':{'a':[{}]}}")
                                  << e2e::envelope("", "", "mode") << "show shown";
        // Qt's parser would lose the object or array a repeated name replaces.
        QTest::newRow("a repeated name over an object is refused")
            << j("{'type':'mode','value':'show','x':{'a':1},'x':2}"
                 "{'type':'mode','value':'show','x':[1],'\\u0078':2}")
            << QByteArray() << "";
        loggedIn("nothing answered or routed",
                 j("{'type':'whiteboard.shape','act':'tri','from':'p1'}"
                   "{'type':'whiteboard.fly','from':'p1'}{'type':'MODE'}"
                   "[{'type':'mode'}]{'type':''}{'id':'7'}{'type':5}") +
                     " \r\n\t {\"type\":\"mode\",} hello }");
    }
    void packets()
    {
        QFETCH(QByteArray, packets);
        QFETCH(QByteArray, replies);
        QFETCH(QString, routed);
        picture.set(560, 240, 800, 600);
        auto c = connected();
        QVERIFY(c && c->sendRaw(packets));
        QByteArray got, one;
        while (got.size() < replies.size() && !(one = c->nextReply()).isEmpty())
            got += one;
        QCOMPARE(got, replies);
        // Once this is answered, what came before waits in this thread's queue.
        QVERIFY(!c->request({{"type", "file.open"}, {"id", "probe"}}).isEmpty());
        QCoreApplication::processEvents();
        QCOMPARE(emitted(), routed); // "#": the connection's number
        c.reset();                   // its logins go with it, out of the next row's way
        QTRY_VERIFY(!routed.contains("added") || this->routed.contains("show close"));
    }

    // Who is registered follows logins and closes in the order they are handled.
    void registry()
    {
        // A phone back on a new connection takes its entry over; the old
        // connection's close, a stranger's and a stranger's logout remove nothing.
        handle(loginOf("phone", ",'name':'N','ip':'1.2.3.4'"), 11), handle(loginOf("phone"), 12);
        QCOMPARE(emitted(), QString("added phone,N,1.2.3.4; added phone,,"));
        idle->dispatcher().HandleClose(11), idle->dispatcher().HandleClose(99);
        handle(j("{'type':'logout','from':'phone'}"), 14), idle->dispatcher().HandleClose(14);
        idle->disconnect("nobody");
        QCOMPARE(emitted() + QString::number(idle->registry().GetUserById("phone").sock),
                 QString("12"));
        // Every id of a connection goes with it and its board; the last closes the show.
        handle(loginOf("second") + loginOf("third"), 12), emitted();
        idle->dispatcher().HandleClose(12);
        QCOMPARE(emitted(), QString("removed phone; board phone close; removed second; "
                                    "board second close; removed third; board third close; "
                                    "show close"));
        // After a logout its connection is not obeyed until its close is handled.
        handle(loginOf("a") + loginOf("b", ",'name':'B'") + j("{'type':'logout','from':'a'}") +
               loginOf("ghost") + j("{'type':'mode','value':'show'}"));
        QCOMPARE(emitted(), QString("added a,,; added b,B,; removed a; board a close"));
        idle->dispatcher().HandleClose(42);
        handle(loginOf("later"));
        QCOMPARE(emitted(), QString("removed b; board b close; show close; added later,,"));

        // Past the store's bound a login is refused (eight a connection until full).
        for (int i = 0; idle->registry().Count() < JwUserManage::kMaxControllers; ++i)
            handle(loginOf("s" + QByteArray::number(i)), 100 + i / 8);
        handle(loginOf("one-too-many"), 7);
        QCOMPARE(idle->registry().GetUserById("one-too-many").sock, SOCKET(0));
        idle->dispatcher().HandleClose(100);
        handle(loginOf("one-too-many"), 7);
        QCOMPARE(idle->registry().GetUserById("one-too-many").sock, SOCKET(7));
        for (int s = 7; s < 100 + JwUserManage::kMaxControllers; ++s)
            idle->dispatcher().HandleClose(s); // "later" too, on 42
        QCOMPARE(idle->registry().Count(), 0);
    }

    // A web page can make a browser send to this port: its request is never taken for
    // packets (the stray brace would end the head as junk), however its bytes arrive.
    void httpRequestIsClosedUnread()
    {
        const QByteArray body = j("}{'type':'mode','id':'1','from':'x','value':'show'}");
        for (const QByteArrayList& writes :
             {QByteArrayList{"POST / HTTP/1.1\r\nHost: a\r\n\r\n" + body},
              QByteArrayList{"GE", "T / HTTP/1.1\r\n\r\n" + body}}) {
            RawSocket s(port);
            for (const QByteArray& w : writes) { // in reads of their own
                QVERIFY(s.send(w));
                QThread::msleep(50);
            }
            QCOMPARE(s.read(4096), jwtest::expectedGreeting()); // and then the close
        }
        auto c = connected();
        QVERIFY(c && answered(*c, "after"));
        QCoreApplication::processEvents();
        QVERIFY(!emitted().contains("shown"));
    }

    // With pairing on, a wrong code over TCP gets no code, registers nobody, ends its
    // connection and counts toward its host's lock-out (then even the right one fails).
    void tcpPairing()
    {
        guard.setTcpCodeRequired(true);
        auto loginFrom = [this](const char* host, const char* pwd) {
            Controller c(port);
            c.socket().bind(QHostAddress(host));
            if (!c.connectToHost())
                return QByteArray("no connection");
            const QByteArray reply = c.login("p1", "n", pwd, "5");
            return c.waitForClose(2000) ? reply : reply + " (still open)";
        };
        const QByteArray refused =
            e2e::loginReply("5", "p1", "n", 7000, "", "-1", "wrong password");
        QCOMPARE(loginFrom("127.0.0.5", "123456"), refused);
        QCOMPARE(users->Count(), 0);
        auto right = connected();
        QVERIFY(right);
        QCOMPARE(right->login("p1", "n", "654321", "5"),
                 e2e::loginReply("5", "p1", "n", 7000, "654321"));
        for (int i = 0; i < PairingGuard::kMaxFailures - 1; ++i)
            QCOMPARE(loginFrom("127.0.0.5", ""), refused);
        QCOMPARE(loginFrom("127.0.0.5", "654321"), refused);
        guard.setTcpCodeRequired(false);
    }

    // A port that cannot be had leaves the server as it was; stopped, it closes everyone
    // and listens again on its port, its closed connections in TIME_WAIT. Out of
    // descriptors, it keeps serving who it has and accepts the others once it can.
    void listenerSurvives()
    {
        for (int bad : {0, -1, 65536, int(port)})
            QVERIFY(!srv->Init(bad) && srv->ListenPort() == int(port));
        auto old = connected();
        QVERIFY(old && answered(*old, "still"));
        srv->Terminate();
        QCOMPARE(srv->ConnectionCount() + srv->ListenPort(), 0);
        QVERIFY(old->waitForClose(5000) && !connected());
        QVERIFY(srv->Init(port));
        auto back = connected();
        QVERIFY(back && answered(*back, "back"));
        // Sockets made now, connected once no descriptor is left for the server.
        RawSocket waiting[3];
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit tight{rlim_t(lowestFree), saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        bool served = true; // checked once the limit is back, or the cases after fail too
        for (RawSocket& s : waiting)
            served = served && s.connect(port);
        served = served && answered(*back, "full1") && answered(*back, "full2");
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        QVERIFY(served);
        for (RawSocket& s : waiting)
            QCOMPARE(s.read(jwtest::expectedGreeting().size()), jwtest::expectedGreeting());
    }
    // A reply goes to the connection that asked, not the one its id logged in on,
    // and a logout is answered by the close of its connection alone.
    void repliesGoToTheAskingConnection()
    {
        auto a = connected(), b = connected();
        QVERIFY(a && b && a->expectNoReply(100) && !a->login("tester").isEmpty());
        QCOMPARE(b->request({{"type", "mode"}, {"id", "o"}, {"from", "tester"}, {"value", "show"}}),
                 e2e::envelope("o", "tester", "mode"));
        QVERIFY(a->expectNoReply(100) && !b->login("leaver").isEmpty());
        QVERIFY(b->sendRaw(j("{'type':'logout','id':'2','from':'leaver'}")));
        QVERIFY(b->waitForClose(5000) && b->pending().isEmpty());
    }

    // While the GUI thread is busy, show and hide requests however alternated cost
    // it one piece of work, and of display changes only the newest is made.
    void guiWorkIsCoalesced()
    {
        auto c = connected();
        const QByteArray modes = j("{'type':'mode','id':'m','from':'b','value':'remote'}"
                                   "{'type':'mode','id':'m','from':'b','value':'show'}");
        const QByteArray resize = j("{'type':'resolution','act':'set','width':'800','height':'600'}"
                                    "{'type':'resolution','act':'reduction'}");
        QVERIFY(c && c->login("c").contains(j("'ret':'0'")) &&
                c->sendRaw(modes.repeated(2000) + resize.repeated(500) +
                           j("{'type':'resolution','act':'set','width':'1024','height':'768'}")));
        for (int i = 0; i < 5001; ++i)
            QVERIFY(!c->nextReply(5000).isEmpty()); // every request is answered meanwhile
        QCOMPARE(dm->GuiBacklog(), 3); // the login, one show change, one display change
        release();
        QCOMPARE(routed, (QStringList{"added c,tester,", "show shown", "resolution 1024,768"}));
    }

    // Controllers whose board work outruns the GUI thread wait alone, beyond their own
    // and a total bound, unread; another is answered meanwhile, and nothing is lost.
    void busyControllersWaitAlone()
    {
        const int count = JWdataManage::kMaxGuiTotal / kMax + 2;
        std::vector<RawSocket> floods(count);
        std::vector<qint64> sent(count);
        auto id = [](int i) { return "b" + QByteArray::number(i).rightJustified(2, '0'); };
        auto drawing = [&id](int i) {
            return j("{'type':'whiteboard.drawing','x':1,'y':1,'from':'") + id(i) + "\"}";
        };
        for (int i = 0; i < count; ++i)
            QVERIFY(floods[i].connect(port) && floods[i].send(loginOf(id(i))));
        QVERIFY(waitUntil([&] { return users->Count() == count; }));
        // Written until the kernel takes nothing for a while: the server stopped reading.
        QElapsedTimer quiet;
        quiet.start();
        waitUntil(
            [&] {
                for (int i = 0; i < count; ++i) {
                    const QByteArray one = drawing(i);
                    const qint64 n =
                        floods[i].offer(one.repeated(64).mid(int(sent[i] % one.size())));
                    sent[i] += n;
                    if (n > 0)
                        quiet.restart();
                }
                return quiet.elapsed() >= 300;
            },
            20000);
        const int backlog = dm->GuiBacklog();
        QVERIFY2(backlog >= JWdataManage::kMaxGuiTotal &&
                     backlog <= JWdataManage::kMaxGuiTotal + count,
                 qPrintable(QString::number(backlog)));
        QVERIFY(dm->GuiBacklog(users->GetUserById("b00").sock) <= kMax);
        const qint64 queued = dm->QueuedCost();
        QVERIFY2(queued < count * (JWShowService::kMaxQueuedInput + 64 * 1024),
                 qPrintable(QString::number(queued)));
        auto bystander = connected();
        QVERIFY(bystander && bystander->login("by").contains(j("'ret':'0'")));
        QVERIFY(!bystander->request({{"type", "file.list"}, {"id", "1"}}).isEmpty());
        qint64 drawn = 0; // whole packets only
        for (const qint64 n : sent)
            drawn += n / drawing(0).size();
        release();
        // Every whole drawing, once (its board's close, should a flood be let go, is
        // no drawing).
        QTRY_COMPARE_WITH_TIMEOUT(countOf("stroke-to"), int(drawn), 30000);
    }

    // Phones that log in and drop at once while their work waits for the GUI thread
    // leave no one registered, and the same ids log in again afterwards.
    void closesFollowTheirPackets()
    {
        for (int i = 0; i < 6; ++i) {
            Controller phone(port);
            const QByteArray id = "ghost" + QByteArray::number(i);
            const QByteArray drawing = j("{'type':'whiteboard.drawing','from':'") + id + "\"}";
            QVERIFY(phone.connectToHost() &&
                    phone.sendRaw(loginOf(id) + drawing.repeated(kMax + 10)));
            phone.socket().disconnectFromHost();
        }
        QVERIFY(waitUntil([this] { return srv->ConnectionCount() == 0; })); // the drops were seen
        QVERIFY(users->Count() > 0); // their closes wait behind their packets
        release();
        QCOMPARE(users->Count(), 0);
        QCOMPARE(countOf("added"), 6);
        QCOMPARE(countOf("removed"), 6);
        QVERIFY(countOf("show close") >= 1);
        auto again = connected();
        QVERIFY(again && again->login("ghost0").contains(j("'ret':'0'")));
        QCOMPARE(users->GetUserById("ghost0").name, QString("tester"));
    }

    // A reader gets every reply, however many it asks for (held-back replies leave past
    // a size; a slow one is only slowed down); one that never reads is cut off.
    void readersAreServed_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("readBuffer"); // 0: the system's
        QTest::addColumn<int>("pauseMs");    // between reads; -1: never reads
        const QByteArray list = j("{'type':'file.list','id':'f','from':'f'}");
        QTest::newRow("large replies, read all the time")
            << j("{'type':'file.list','from':'r','id':'") + QByteArray(20000, 'i') + "\"}" << 200
            << 0 << 0;
        QTest::newRow("slow reader") << list << 20000 << 16384 << 5;
        QTest::newRow("never reads") << list << 0 << 16384 << -1;
    }
    void readersAreServed()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, count);
        QFETCH(int, readBuffer);
        QFETCH(int, pauseMs);
        jwtest::RawSocket reader;
        if (readBuffer)
            reader.setReceiveBuffer(readBuffer);
        QVERIFY(reader.connect(port));
        if (pauseMs < 0) // accepted before the count of connections tells its end
            QCOMPARE(reader.read(jwtest::expectedGreeting().size()), jwtest::expectedGreeting());
        const qint64 total = count ? qint64(count) * request.size() : LLONG_MAX;
        const QByteArray many = request.repeated(256);
        qint64 sent = 0, replies = 0;
        JsonObjectScanner scanner;
        QVERIFY(waitUntil(
            [&] {
                sent += reader.offer(many.mid(int(sent % request.size()),
                                              int(qMin<qint64>(many.size(), total - sent))));
                for (char c : pauseMs < 0 ? QByteArray() : reader.read(1, 1, 16384))
                    replies += scanner.step(c) == JsonObjectScanner::ObjectEnd;
                QThread::msleep(qMax(pauseMs, 0));
                return count ? replies == count : srv->ConnectionCount() == 0;
            },
            30000));
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
