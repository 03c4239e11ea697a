// The control server in process, for what the e2e suite cannot see on the wire: the
// splitter, field conversion, video reports, the windows' signals, socket facts.

#include "app/appglobals.h"
#include "jwinstance.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "protocol/packetfields.h"
#include "server/packetsplitter.h"
#include "show/jwshowui.h"
#include "show/showimagerect.h"
#include "ui/mainwindow.h"

#include <QApplication>
#include <QDir>
#include <QHostInfo>
#include <QSignalSpy>
#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using jwtest::Controller;

namespace
{
// JSON written with single quotes, so that the texts need neither escapes nor raw
// strings (which moc cannot read).
QByteArray j(const char* text)
{
    return QByteArray(text).replace('\'', '"');
}
// The server's simplest round trip.
bool answered(Controller& c, const char* id)
{
    return c.request({{"type", "mode"}, {"id", id}, {"from", "c"}, {"value", "remote"}}) ==
           j("{'desc':'','from':'jwshow','id':'") + id + j("','ret':'0','to':'c','type':'mode'}");
}
// A plain socket of the test's own: it reads only when told to, and can be made
// before the descriptors run out.
int rawSocket(int rcvbuf = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (rcvbuf > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    return fd;
}
bool rawConnect(int fd, quint16 port)
{
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}
QByteArray rawRead(int fd, int max) // until max bytes, the end, or 5 s of silence
{
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    QByteArray got;
    char buf[65536];
    ssize_t n = 0;
    while (got.size() < max && (n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        got.append(buf, int(n));
    ::close(fd);
    return got;
}
} // namespace

class TestServer : public QObject
{
    Q_OBJECT
    QTemporaryDir dataDir;
    std::unique_ptr<MainWindow> mw;
    std::unique_ptr<JWShowUi> show;
    std::unique_ptr<paintViewManage> pv;
    std::vector<std::unique_ptr<QSignalSpy>> spies;

    // The windows' own signals emitted since the last call, as "name arg,arg", in
    // the order the classes declare them (main window, show window, board).
    QString emitted()
    {
        QStringList out;
        for (auto& spy : spies) {
            for (const QVariantList& args : *spy)
                out << spy->signal().left(spy->signal().indexOf('(')) + ' ' +
                           QVariant(args).toStringList().join(',');
            spy->clear();
        }
        return out.join("; ").replace(" ;", ";").trimmed();
    }

    quint16 port = jwtest::freePort();
    JWShowService* srv = JWShowService::GetInstance();
    JwUserManage* users = JwUserManage::GetInstance();

    std::unique_ptr<Controller> connected(quint16 p = 0)
    {
        auto c = std::make_unique<Controller>(p ? p : port);
        const bool ok = c->connectToHost() && c->greeting() == jwtest::expectedGreeting();
        return ok ? std::move(c) : nullptr;
    }

private slots:
    void initTestCase()
    {
        // Off the X display (pointer and mode changes would disturb GUI tests), own data.
        unsetenv("DISPLAY");
        qputenv("JWSHOW_DATA_DIR", dataDir.path().toUtf8());
        mw = std::make_unique<MainWindow>();
        show = std::make_unique<JWShowUi>();
        pv = std::make_unique<paintViewManage>();
        g_mainWindow = mw.get(), g_showUi = show.get(), g_paintViewManage = pv.get();
        for (QObject* o : QObjectList{mw.get(), show.get(), pv.get()}) {
            const QMetaObject* mo = o->metaObject();
            for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
                if (mo->method(i).methodType() == QMetaMethod::Signal)
                    spies.push_back(std::make_unique<QSignalSpy>(
                        o, QByteArray("2" + mo->method(i).methodSignature()).constData()));
            }
        }
        // The socket tests below registry() run without windows (threads vs. spies).
        g_computerName = QHostInfo::localHostName(); // the greeting Controller expects
        QVERIFY(srv->Init(port));
        JWdataManage::GetInstance()->start();
        // Starting, the dispatcher announces the host's addresses from its own
        // thread; the rows below must not meet that emission.
        QString announced; // emitted() consumes what it reports
        QTRY_VERIFY((announced += emitted()).startsWith("msg_localIp"));
    }
    void cleanupTestCase() { JWdataManage::GetInstance()->Stop(), JWShowService::Terminate(); }
    void splitter_data()
    {
        QTest::addColumn<QByteArrayList>("reads");
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<int>("pending"); // bytes kept after the last read
        auto row = [](const char* name, const QByteArrayList& reads, const QStringList& pieces,
                      int pending = 0) { QTest::newRow(name) << reads << pieces << pending; };
        const QByteArray a = j("{'a':1}"), b = j("{'b':{'c':[{},{}]}}"), cjk = j("{'t':'中文'}");
        const int cut = cjk.indexOf("中") + 1; // a character decodes only once whole
        row("nested objects in one read", {a + b}, {a, b});
        row("cut inside a character", {cjk.left(cut)}, {}, cut);
        row("character completed", {cjk.left(cut), cjk.mid(cut)}, {QString::fromUtf8(cjk)});
        row("object and the start of the next", {a + j("{'b':")}, {a}, 5);
        row("the next completed", {a + j("{'b':"), "2}"}, {a, j("{'b':2}")});
        row("junk stays with its object", {"xx" + a + b}, {"xx" + a, b});
        row("a quote in junk opens no string", {"\"" + a}, {"\"" + a});
        row("a stray closing brace drops what came before", {"ab}" + a, "}}"}, {a});
        row("a zero byte ends the read", {a + QByteArray("\0{}", 3)}, {a});
        row("also inside an object", {QByteArray("{\"a\":\0z}", 8), "1}", QByteArray("\0{}", 3)},
            {a});
        row("a line end after a packet is dropped", {a + "\r\n"}, {a});
        row("white space or junk alone is handed on", {"\n", " ", a + "x"}, {"\n", " ", a, "x"});
        row("white space before an object stays", {a + " " + b, ""}, {a, " " + b});
        // What a connection keeps is capped: a longer rest is dropped, a shorter one kept.
        const QByteArray big = j("{'a':'") + QByteArray(PacketSplitter::kMaxPending - 100, 'x');
        row("a rest past the cap is dropped", {big + QByteArray(200, 'x'), a}, {a});
        row("an object under the cap is kept", {big + "\"}"}, {big + "\"}"});
        const QByteArray tricky = j("{'t':'x\\'}{\\\\','u':'}{'}"); // escapes, braces in strings
        for (int at = 1; at < tricky.size(); ++at)
            QTest::newRow(qPrintable(QStringLiteral("string cut at %1").arg(at)))
                << QByteArrayList{tricky.left(at), tricky.mid(at)} << QStringList{tricky} << 0;
    }
    void splitter()
    {
        QFETCH(QByteArrayList, reads);
        QFETCH(QStringList, pieces);
        QFETCH(int, pending);
        PacketSplitter s;
        QStringList got;
        for (const QByteArray& r : reads) {
            for (int at = 0; at < r.size() || at == 0; at += 2048) // as the server reads
                got += s.feed(r.mid(at, 2048));
        }
        QCOMPARE(got, pieces);
        QCOMPARE(s.pending(), pending);
    }

    void mapImagePoint_data()
    {
        QTest::addColumn<QList<double>>("in"); // x, y, left, top, width, height
        QTest::addColumn<QPoint>("out");
        const double nan = std::nan(""), big = 1e300, M = INT_MAX, m = INT_MIN;
        auto row = [](const char* name, QList<double> in, QPoint out) {
            QTest::newRow(name) << in << out;
        };
        row("centre", {500, 500, 560, 240, 800, 600}, {960, 540});
        row("far corner", {1000, 1000, 560, 240, 800, 600}, {1360, 840});
        row("cut toward the corner", {999.9, -0.9, 560, 240, 800, 600}, {560 + 799, 240});
        row("no picture yet", {500, 500, 0, 0, -1, -1}, {0, 0});
        row("NaN", {nan, nan, 7, 9, 800, 600}, {7, 9});
        row("huge coordinates", {big, -big, 0, 0, 1000, 1000}, {INT_MAX, INT_MIN});
        row("huge picture", {2000, -2000, 0, 0, M, M}, {INT_MAX, INT_MIN});
        row("offset at the limit", {big, big, M, m, M, M}, {INT_MAX, INT_MAX});
        row("product past 32 bits", {1000, 500, -2e9, 0, 2e9, 2e9}, {0, 1000000000});
        row("all at the minimum", {1e3, 1e3, m, m, m, m}, {INT_MIN, INT_MIN});
    }
    void mapImagePoint()
    {
        QFETCH(QList<double>, in);
        QFETCH(QPoint, out);
        const int l = int(in[2]), t = int(in[3]), w = int(in[4]), h = int(in[5]);
        QCOMPARE(MapImagePoint(in[0], in[1], l, t, w, h), out);
        ShowImageRect.set(l, t, w, h); // the shown picture's rectangle is the default
        QCOMPARE(MapImagePoint(in[0], in[1]), out);
        ShowImageRect.set(0, 0, -1, -1);
    }

    // The show window's reports: no ret or desc, and only the member the act carries.
    void videoInfoReply()
    {
        const QByteArray tail = j("'to':'p','type':'show.video.info'"), value = j(",'value':'55'}");
        JWData d;
        d.id = "0", d.from = "jwshow", d.to = "p", d.type = "show.video.info";
        d.ret = "0", d.desc = "x", d.value = "55", d.time = "9";
        for (const char* act : {"position", "duration", "status", "volume", "other"}) {
            d.act = act;
            const QByteArray rest = d.act == "position" ? j("'time':'9',") + tail + "}"
                                    : d.act == "other"  ? tail + "}"
                                                        : tail + value;
            QCOMPARE(JWdataManage::BuildReply(d).toUtf8(),
                     j("{'act':'") + act + j("','from':'jwshow','id':'0',") + rest);
        }
    }
    void init() { JwUserManage::GetInstance()->RemoveAllUsers(), emitted(); }

    void packets_data()
    {
        QTest::addColumn<QByteArray>("packet");
        QTest::addColumn<QString>("expected");
        auto row = [](const char* type, const char* members, const QString& expected) {
            QTest::newRow(qPrintable(QString(type) + members))
                << j("{'type':'") + type + j("','id':'5','from':'p1'") + j(members) + "}"
                << expected;
        };
        const char* control = "show.video.control";
        row("mode", ",'value':'show'", "msg_show");
        row("mode", ",'value':'remote'", "msg_hide");
        row("login", ",'name':'n2','ip':'9.9.9.9','pwd':''", "msg_addUser p1,n2,9.9.9.9");
        row("show.image", ",'url':'http://h/a.png'", "msg_addJwMess 42,http://h/a.png");
        row("show.video", ",'url':'rtsp://v'", "msg_setVideoFile rtsp://v,42,p1");
        row(control, ",'act':'play'", "msg_play");
        row(control, ",'act':'stop'", "msg_stop");
        row(control, ",'act':'pause'", "msg_pause");
        row(control, ",'act':'fast-forward','time':'1500'", "msg_SetFast 1500");
        row(control, ",'act':'fast-backward','time':'1500'", "msg_SetFast -1500");
        row(control, ",'act':'fast-backward','time':'-9223372036854775808'", "msg_SetFast 0");
        row(control, ",'act':'seek','time':'5000000000'", "msg_setPosition 5000000000");
        row(control, ",'act':'seek','time':'99999999999999999999'", "msg_setPosition 0");
        row(control, ",'act':'volume','value':'40'", "msg_Setvolume 40");
        row(control, ",'act':'volume','value':'0x10'", "msg_Setvolume 0");
        row(control, ",'act':'mute','value':'true'", "msg_setMute");
        row(control, ",'act':'mute','value':'True'", "msg_releaseMute");
        row("resolution", ",'act':'set','width':'1024','height':'768'",
            "msg_ChangeResolution 1024,768");
        row("resolution", ",'act':'set','width':'-5','height':'768'", "msg_ChangeResolution 0,768");
        row("resolution", ",'act':'reduction'", "msg_ReductionResolution");
        row("whiteboard.start", "", "msg_startWhiteboard p1");
        row("whiteboard.end", "", "msg_endWhiteboard p1");
        row("whiteboard.draw.start", ",'x':500,'y':500", "msg_startDraw p1,960,540");
        row("whiteboard.drawing", ",'x':1000.7,'y':'1000'", "msg_drawing p1,1360,240");
        row("whiteboard.draw.end", "", "msg_endDraw p1");
        row("whiteboard.shape", ",'act':'curve'", "msg_shape p1,5");
        row("whiteboard.shape", ",'act':'ellipse'", "msg_shape p1,3");
        row("whiteboard.shape", ",'act':'line'", "msg_shape p1,1");
        row("whiteboard.shape", ",'act':'rect'", "msg_shape p1,4");
        row("whiteboard.color", ",'r':255.9,'g':'7','b':-3.5", "msg_setcolor p1,255,0,-3");
        row("whiteboard.color", ",'r':1e300,'g':-1e300,'b':true",
            "msg_setcolor p1,2147483647,-2147483648,0");
        row("whiteboard.pen.width", ",'value':'5'", "msg_penwidth p1,5");
        row("whiteboard.pen.width", ",'value':'2147483648'", "msg_penwidth p1,0");
        row("whiteboard.clear", "", "msg_clear p1");
        row("whiteboard.undo", "", "msg_undo p1");
        row("whiteboard.redraw", "", "msg_redraw p1");
        row("whiteboard.string.start", ",'x':0,'y':0", "msg_startText p1,560,240");
        row("whiteboard.string.set", ",'text':'你好'", "msg_setText p1,你好");
        row("whiteboard.string.end", "", "msg_endText p1");
        QTest::newRow("refused requests emit nothing")
            << j("{'type':'mode','value':'Show'}{'type':'show.image','url':''}"
                 "{'type':'show.video'}{'type':'show.video.control','act':'jump'}"
                 "{'type':'resolution','act':'set','height':'768'}{'type':'resolution'}"
                 "{'type':'whiteboard.shape','act':'tri'}{'type':'whiteboard.fly'}")
            << "";
    }
    void packets()
    {
        QFETCH(QByteArray, packet);
        QFETCH(QString, expected);
        ShowImageRect.set(560, 240, 800, 600);
        for (const QString& one : PacketSplitter().feed(packet))
            JWdataManage::GetInstance()->HandleText(one, 42);
        QCOMPARE(emitted(), expected);
    }

    void registry()
    {
        auto* um = JwUserManage::GetInstance();
        auto add = [um](const QString& id, SOCKET s) {
            um->AddUser(ControllerInfo{id, "n" + id, "10.0.0." + QString::number(s), "", s});
        };
        // A login under a known id from another connection changes nothing.
        add("phone", 11), add("phone", 12);
        QCOMPARE(emitted(), QString("msg_addUser phone,nphone,10.0.0.11"));
        um->RemoveUserBySocket(12), um->RemoveUserById("nobody"); // not the registered ones
        um->CloseUserById("phone"); // no such connection in the server: the entry stays
        QCOMPARE(emitted() + QString::number(um->GetUserById("phone").sock), QString("11"));
        // Only the last one leaving closes the show and ends its board.
        add("b", 13), um->RemoveUserById("b");
        QCOMPARE(emitted(), QString("msg_addUser b,nb,10.0.0.13; msg_removeUser b"));
        add("second", 11); // a second id logged in on the same connection
        um->RemoveUserBySocket(11), emitted();
        QCOMPARE(um->Count(), 0);
        add("phone", 11), um->RemoveUserBySocket(11);
        QCOMPARE(emitted(), QString("msg_addUser phone,nphone,10.0.0.11; msg_removeUser phone; "
                                    "msg_close; msg_endWhiteboard phone"));
        // Disconnecting everyone closes the show once and leaves the boards.
        add("z", 31), add("m", 32), emitted();
        um->RemoveAllUsers(), um->RemoveAllUsers();
        QCOMPARE(emitted(), QString("msg_removeUser m; msg_removeUser z; msg_close"));
        // A logout is the last one leaving.
        JWdataManage::GetInstance()->HandleText(j("{'type':'login','from':'p','pwd':'x'}"), 42);
        JWdataManage::GetInstance()->HandleText(j("{'type':'logout','from':'p'}"), 42);
        QCOMPARE(emitted(), QString("msg_addUser p,,; msg_removeUser p; msg_close; "
                                    "msg_endWhiteboard p"));
        g_mainWindow = nullptr, g_showUi = nullptr, g_paintViewManage = nullptr;
    }

    void descriptorOptions()
    {
        auto c = connected();
        QStringList seen; // the server's sockets with the options that matter
        for (const QString& name : QDir("/proc/self/fd").entryList(QDir::System)) {
            const int fd = name.toInt();
            const QString link = QFile::symLinkTarget("/proc/self/fd/" + name);
            // Nothing of ours may leak into the companion process.
            if (link.contains("socket:") || link.contains("eventfd"))
                QVERIFY2(::fcntl(fd, F_GETFD) & FD_CLOEXEC, qPrintable(link));
            sockaddr_in local{};
            socklen_t len = sizeof local;
            auto opt = [fd](int level, int name) {
                int v[4] = {-1}; // room for the timeval of SO_SNDTIMEO
                socklen_t l = sizeof v;
                return ::getsockopt(fd, level, name, v, &l), QString::number(v[0]) + ' ';
            };
            // Restarts need no TIME_WAIT wait, dead peers are noticed, stuck sends end in 2 s,
            // small replies leave at once.
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0 &&
                local.sin_family == AF_INET && ntohs(local.sin_port) == port)
                seen << (opt(SOL_SOCKET, SO_ACCEPTCONN) == "1 "
                             ? "listening " + opt(SOL_SOCKET, SO_REUSEADDR)
                             : "accepted " + opt(SOL_SOCKET, SO_KEEPALIVE) +
                                   opt(IPPROTO_TCP, TCP_KEEPIDLE) +
                                   opt(IPPROTO_TCP, TCP_KEEPINTVL) + opt(IPPROTO_TCP, TCP_KEEPCNT) +
                                   opt(SOL_SOCKET, SO_SNDTIMEO) + opt(IPPROTO_TCP, TCP_NODELAY));
        }
        QVERIFY(c && seen.contains("accepted 1 10 5 3 2 1 "));
        QCOMPARE(seen.filter("listening"), QStringList{"listening 1 "});
        QCOMPARE(seen.filter("accepted 1 10 5 3 2 1 "), seen.filter("accepted"));
        QVERIFY(!c->login("gone").isEmpty());
        c.reset(); // a phone that simply goes away leaves the registry
        QTRY_COMPARE(users->GetUserById("gone").sock, SOCKET(0));
    }

    void stalledReaderDoesNotBlockOthers()
    {
        const int raw = rawSocket(4096);
        QVERIFY(rawConnect(raw, port));
        const QByteArray login = j("{'type':'login','id':'s','from':'stalled','pwd':'x'}");
        QCOMPARE(::send(raw, login.constData(), size_t(login.size()), 0), ssize_t(login.size()));
        QTRY_VERIFY(users->GetUserById("stalled").sock != 0);
        const SOCKET stalled = users->GetUserById("stalled").sock;
        // Another thread writes to it until its buffers are full and the send gives up,
        std::atomic<bool> gaveUp{false};
        qint64 accepted = 0;
        std::thread writer([&] {
            while (srv->Send(stalled, QByteArray(65536, 'x')))
                accepted += 65536;
            gaveUp = true;
        });
        auto other = connected(); // while another controller is served.
        QVERIFY(other && !other->login("other").isEmpty() && answered(*other, "busy"));
        QTRY_VERIFY_WITH_TIMEOUT(gaveUp.load(), 20000);
        writer.join();
        // Given up: out of the registry, later sends refused, what it got intact.
        QTRY_COMPARE(users->GetUserById("stalled").sock, SOCKET(0));
        QVERIFY(!srv->Send(stalled, "late"));
        const QByteArray got = rawRead(raw, INT_MAX);
        QVERIFY(got.startsWith(jwtest::expectedGreeting() +
                               j("{'desc':'','from':'jwshow','id':'s','name':'',")));
        QVERIFY(accepted > 0 && got.size() >= accepted);
        users->CloseUserById("other"); // the settings window's disconnect
        QVERIFY(other->waitForClose(5000));
        QTRY_COMPARE(users->Count(), 0);
    }

    // Such a port fails like one that cannot be bound, and the server stays as it was.
    void refusedPorts_data()
    {
        QTest::addColumn<int>("bad");
        for (int bad : {0, -1, 65536, int(port)})
            QTest::newRow(qPrintable(QString::number(bad))) << bad;
    }
    void refusedPorts()
    {
        QFETCH(int, bad);
        QVERIFY(!srv->Init(bad));
        QCOMPARE(srv->ListenPort(), int(port));
        auto c = connected();
        QVERIFY(c && answered(*c, "still"));
    }

    void terminateAndInitAgain()
    {
        auto old = connected();
        QVERIFY(old);
        JWShowService::Terminate();
        QCOMPARE(srv->ConnectionCount() + srv->ListenPort(), 0);
        QVERIFY(old->waitForClose(5000) && !connected(port));
        const quint16 other = jwtest::freePort();
        QVERIFY(srv->Init(other));
        auto fresh = connected(other);
        QVERIFY(fresh && answered(*fresh, "after"));
        JWShowService::Terminate(); // back to the first port, its closed connections in TIME_WAIT
        QVERIFY(srv->Init(port));
        auto back = connected();
        QVERIFY(back && answered(*back, "back"));
    }

    void acceptSurvivesDescriptorExhaustion()
    {
        auto established = connected();
        QVERIFY(established);
        // Sockets made now, connected once no descriptor is left for the server.
        const int waiting[3] = {rawSocket(), rawSocket(), rawSocket()};
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        const rlimit tight{rlim_t(lowestFree), saved.rlim_max};
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &tight), 0);
        for (int fd : waiting)
            QVERIFY(rawConnect(fd, port));
        // It cannot accept them, yet keeps serving who it has ...
        const bool served = answered(*established, "full1") && answered(*established, "full2");
        QCOMPARE(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        QVERIFY(served);
        // ... and with descriptors back, the waiting ones are accepted and greeted.
        for (int fd : waiting)
            QCOMPARE(rawRead(fd, jwtest::expectedGreeting().size()), jwtest::expectedGreeting());
    }
};

QTEST_MAIN(TestServer)
#include "tst_server.moc"
