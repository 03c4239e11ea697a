// The dispatcher driven packet by packet (HandleText) against a real server
// connection: the bytes of every reply, silence where no reply belongs, and the
// signals each packet emits.

#include "servertestutil.h"

#include "app/appglobals.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "show/jwshowui.h"
#include "show/showimagerect.h"
#include "ui/mainwindow.h"

#include <QSignalSpy>

Q_DECLARE_METATYPE(QList<QVariantList>)

class TestServerDispatch : public QObject
{
    Q_OBJECT

    MainWindow* mw = nullptr;
    JWShowUi* show = nullptr;
    paintViewManage* pv = nullptr;
    QTcpSocket client;
    SOCKET sock = 0;
    QByteArray greeting;

    QObject* target(const QString& name);
    QByteArray nextReply();

private slots:
    void initTestCase();
    void cleanupTestCase();
    void packets_data();
    void packets();
    void keepAliveReplacesCompanionPortOnlyWhenPositive();
    void unknownOrBrokenPacketsGetNoReply_data();
    void unknownOrBrokenPacketsGetNoReply();
    void logoutClosesTheConnection();
    void redrawReachesTheBoard();
};

QObject* TestServerDispatch::target(const QString& name)
{
    if (name == "show")
        return show;
    if (name == "pv")
        return pv;
    return mw;
}

// The next reply on the connection; a sentinel request shows that nothing came
// before it.
QByteArray TestServerDispatch::nextReply()
{
    return testutil::readObject(client);
}

void TestServerDispatch::initTestCase()
{
    qRegisterMetaType<ulong>("ulong");
    g_computerName = "testhost";
    g_auth = "654321";
    g_rcPort = 5556;
    mw = new MainWindow;
    show = new JWShowUi;
    pv = new paintViewManage;
    g_mainWindow = mw;
    g_showUi = show;
    g_paintViewManage = pv;
    ShowImageRect.set(560, 240, 800, 600);

    JWdataManage::GetInstance();
    JwUserManage::GetInstance();
    const int port = testutil::freePort();
    QVERIFY(JWShowService::GetInstance()->Init(port));
    JWdataManage::GetInstance()->start();

    greeting = "jwshow-1.0.4.111-testhost";
    QVERIFY(testutil::connectClient(client, port, greeting));
    // Log in through the wire (the dispatcher thread) to learn our number.
    client.write(
        R"({"type":"login","id":"1","from":"p1","to":"pc","name":"phone","ip":"1.2.3.4","pwd":"x","version":"2","token":"t"})");
    QCOMPARE(
        nextReply(),
        QByteArray(
            R"({"desc":"","from":"jwshow","id":"1","name":"phone","rc_port":"5556","ret":"0","to":"p1","token":"654321","type":"login","version":"1.0.4.111"})"));
    sock = JwUserManage::GetInstance()->GetUserById("p1").sock;
    QVERIFY(sock != 0);
    QCOMPARE(JwUserManage::GetInstance()->GetUserById("p1").ip, QString("1.2.3.4"));
}

void TestServerDispatch::cleanupTestCase()
{
    JWdataManage::GetInstance()->Stop();
    JWShowService::Terminate();
    g_mainWindow = nullptr;
    g_showUi = nullptr;
    g_paintViewManage = nullptr;
    delete pv;
    delete show;
    delete mw;
}

void TestServerDispatch::packets_data()
{
    QTest::addColumn<QByteArray>("packet");
    QTest::addColumn<QByteArray>("reply"); // empty: none
    QTest::addColumn<QString>("object");
    QTest::addColumn<QByteArray>("signal");
    QTest::addColumn<QVariantList>("args");

    const QByteArray ok = R"({"desc":"","from":"jwshow","id":"5","ret":"0","to":"p1","type":"%1"})";
    auto okFor = [&](const char* type) { return QByteArray(ok).replace("%1", type); };
    auto fail = [](const char* type, const QString& desc) {
        return QString(R"({"desc":"%1","from":"jwshow","id":"5","ret":"-1","to":"p1","type":"%2"})")
            .arg(desc, type)
            .toUtf8();
    };
    const uint s = sock;

    QTest::newRow("mode show") << QByteArray(
                                      R"({"type":"mode","id":"5","from":"p1","value":"show"})")
                               << okFor("mode") << "show" << QByteArray("msg_show()")
                               << QVariantList();
    QTest::newRow("mode remote") << QByteArray(
                                        R"({"type":"mode","id":"5","from":"p1","value":"remote"})")
                                 << okFor("mode") << "show" << QByteArray("msg_hide()")
                                 << QVariantList();
    QTest::newRow("mode other") << QByteArray(
                                       R"({"type":"mode","id":"5","from":"p1","value":"Show"})")
                                << fail("mode", "unknown mode::Show") << "" << QByteArray()
                                << QVariantList();
    QTest::newRow("login no pwd")
        << QByteArray(R"({"type":"login","id":"5","from":"p2","name":"n2","ip":"9.9.9.9"})")
        << QByteArray(
               R"({"desc":"no password","from":"jwshow","id":"5","name":"n2","rc_port":"5556","ret":"-1","to":"p2","token":"654321","type":"login","version":"1.0.4.111"})")
        << "mw" << QByteArray("msg_addUser(QString,QString,QString)")
        << QVariantList{"p2", "n2", "9.9.9.9"};
    QTest::newRow("show.image")
        << QByteArray(R"({"type":"show.image","id":"5","from":"p1","url":"http://h/a.png"})")
        << okFor("show.image") << "show" << QByteArray("msg_addJwMess(uint,QString)")
        << QVariantList{s, "http://h/a.png"};
    QTest::newRow("show.image empty")
        << QByteArray(R"({"type":"show.image","id":"5","from":"p1","url":""})")
        << fail("show.image", "url is empty") << "" << QByteArray() << QVariantList();
    QTest::newRow("show.image url not a string")
        << QByteArray(R"({"type":"show.image","id":"5","from":"p1","url":5})")
        << fail("show.image", "url is empty") << "" << QByteArray() << QVariantList();
    QTest::newRow("show.video")
        << QByteArray(R"({"type":"show.video","id":"5","from":"p1","url":"rtsp://v"})")
        << okFor("show.video") << "show" << QByteArray("msg_setVideoFile(QString,int,QString)")
        << QVariantList{"rtsp://v", int(s), "p1"};
    QTest::newRow("show.video empty")
        << QByteArray(R"({"type":"show.video","id":"5","from":"p1"})")
        << fail("show.video", "url is empty(video)") << "" << QByteArray() << QVariantList();

    const QByteArray ctl = R"({"type":"show.video.control","id":"5","from":"p1",%1})";
    auto control = [&](const char* fields) { return QByteArray(ctl).replace("%1", fields); };
    const QByteArray ctlOk = okFor("show.video.control");
    QTest::newRow("play") << control(R"("act":"play")") << ctlOk << "show"
                          << QByteArray("msg_play()") << QVariantList();
    QTest::newRow("stop") << control(R"("act":"stop")") << ctlOk << "show"
                          << QByteArray("msg_stop()") << QVariantList();
    QTest::newRow("pause") << control(R"("act":"pause")") << ctlOk << "show"
                           << QByteArray("msg_pause()") << QVariantList();
    QTest::newRow("fast-forward") << control(R"("act":"fast-forward","time":"1500")") << ctlOk
                                  << "show" << QByteArray("msg_SetFast(qint64)")
                                  << QVariantList{qint64(1500)};
    QTest::newRow("fast-backward")
        << control(R"("act":"fast-backward","time":"1500")") << ctlOk << "show"
        << QByteArray("msg_SetFast(qint64)") << QVariantList{qint64(-1500)};
    QTest::newRow("seek 64-bit") << control(R"("act":"seek","time":"5000000000")") << ctlOk
                                 << "show" << QByteArray("msg_setPosition(qint64)")
                                 << QVariantList{qint64(5000000000LL)};
    QTest::newRow("seek not a number")
        << control(R"("act":"seek","time":"12s")") << ctlOk << "show"
        << QByteArray("msg_setPosition(qint64)") << QVariantList{qint64(0)};
    QTest::newRow("volume") << control(R"("act":"volume","value":"40")") << ctlOk << "show"
                            << QByteArray("msg_Setvolume(int)") << QVariantList{40};
    QTest::newRow("mute") << control(R"("act":"mute","value":"true")") << ctlOk << "show"
                          << QByteArray("msg_setMute()") << QVariantList();
    QTest::newRow("unmute") << control(R"("act":"mute","value":"True")") << ctlOk << "show"
                            << QByteArray("msg_releaseMute()") << QVariantList();
    QTest::newRow("unknown act") << control(R"("act":"jump")")
                                 << fail("show.video.control", "unknown control act=:jump") << ""
                                 << QByteArray() << QVariantList();
    QTest::newRow("non-ASCII act")
        << control(R"("act":"快进")")
        << fail("show.video.control", QString::fromUtf8("unknown control act=:快进")) << ""
        << QByteArray() << QVariantList();

    const QByteArray res = R"({"type":"resolution","id":"5","from":"p1",%1})";
    auto resolution = [&](const char* fields) { return QByteArray(res).replace("%1", fields); };
    QTest::newRow("resolution set")
        << resolution(R"("act":"set","width":"1024","height":"768")") << okFor("resolution") << "mw"
        << QByteArray("msg_ChangeResolution(ulong,ulong)")
        << QVariantList{QVariant::fromValue(ulong(1024)), QVariant::fromValue(ulong(768))};
    QTest::newRow("resolution set letters")
        << resolution(R"("act":"set","width":"abc","height":"768")") << okFor("resolution") << "mw"
        << QByteArray("msg_ChangeResolution(ulong,ulong)")
        << QVariantList{QVariant::fromValue(ulong(0)), QVariant::fromValue(ulong(768))};
    QTest::newRow("resolution set empty") << resolution(R"("act":"set","height":"768")")
                                          << fail("resolution", "width or height is empty W::H:768")
                                          << "" << QByteArray() << QVariantList();
    QTest::newRow("resolution reduction")
        << resolution(R"("act":"reduction")") << okFor("resolution") << "mw"
        << QByteArray("msg_ReductionResolution()") << QVariantList();
    QTest::newRow("resolution other")
        << resolution(R"("act":"x")") << fail("resolution", "unknown type=resolution:act=:x") << ""
        << QByteArray() << QVariantList();

    QTest::newRow("file.list")
        << QByteArray(R"({"type":"file.list","id":"42","from":"p1"})")
        << QByteArray(
               R"({"desc":" ","files":[{"name":"xx.jpg","size":10000},{"name":"xx.jpg","size":10000},{"name":"xx.jpg","size":10000}],"from":"jwshow","id":"42","ret":"0","to":"00","type":"file.list"})")
        << "" << QByteArray() << QVariantList();
    QTest::newRow("file.open")
        << QByteArray(R"({"type":"file.open","id":"5","from":"p1","path":"/nope"})")
        << QByteArray(
               R"({"desc":" ","from":"jwshow","id":"5","ret":"0","to":" ","type":"file.open"})")
        << "" << QByteArray() << QVariantList();
    QTest::newRow("file.close")
        << QByteArray(R"({"type":"file.close","id":"5","from":"p1"})")
        << QByteArray(
               R"({"desc":" ","from":"jwshow","id":"5","ret":"0","to":" ","type":"file.close"})")
        << "" << QByteArray() << QVariantList();
    QTest::newRow("no id, no from")
        << QByteArray(R"({"type":"mode","value":"remote"})")
        << QByteArray(R"({"desc":"","from":"jwshow","id":"","ret":"0","to":"","type":"mode"})")
        << "" << QByteArray() << QVariantList();

    const QByteArray wb = R"({"type":"whiteboard.%1","id":"5","from":"p1"%2})";
    auto board = [&](const char* type, const char* fields) {
        return QByteArray(wb).replace("%1", type).replace("%2", fields);
    };
    QTest::newRow("wb start") << board("start", "") << QByteArray() << "pv"
                              << QByteArray("msg_startWhiteboard(QString)") << QVariantList{"p1"};
    QTest::newRow("wb end") << board("end", "") << QByteArray() << "pv"
                            << QByteArray("msg_endWhiteboard(QString)") << QVariantList{"p1"};
    QTest::newRow("wb draw.start")
        << board("draw.start", R"(,"x":500,"y":500)") << QByteArray() << "pv"
        << QByteArray("msg_startDraw(QString,int,int)") << QVariantList{"p1", 960, 540};
    QTest::newRow("wb drawing") << board("drawing", R"(,"x":1000.7,"y":1000)") << QByteArray()
                                << "pv" << QByteArray("msg_drawing(QString,int,int)")
                                << QVariantList{"p1", 1360, 840};
    QTest::newRow("wb drawing x as text")
        << board("drawing", R"(,"x":"500","y":1e300)") << QByteArray() << "pv"
        << QByteArray("msg_drawing(QString,int,int)")
        << QVariantList{"p1", 560, int(240 + qint64(INT_MAX) * 600 / 1000)};
    QTest::newRow("wb draw.end") << board("draw.end", "") << QByteArray() << "pv"
                                 << QByteArray("msg_endDraw(QString)") << QVariantList{"p1"};
    QTest::newRow("wb shape curve")
        << board("shape", R"(,"act":"curve")") << QByteArray() << "pv"
        << QByteArray("msg_shape(QString,int)") << QVariantList{"p1", 5};
    QTest::newRow("wb shape ellipse")
        << board("shape", R"(,"act":"ellipse")") << QByteArray() << "pv"
        << QByteArray("msg_shape(QString,int)") << QVariantList{"p1", 3};
    QTest::newRow("wb shape line") << board("shape", R"(,"act":"line")") << QByteArray() << "pv"
                                   << QByteArray("msg_shape(QString,int)") << QVariantList{"p1", 1};
    QTest::newRow("wb shape rect") << board("shape", R"(,"act":"rect")") << QByteArray() << "pv"
                                   << QByteArray("msg_shape(QString,int)") << QVariantList{"p1", 4};
    QTest::newRow("wb color") << board("color", R"(,"r":255.9,"g":"7","b":-3.5)") << QByteArray()
                              << "pv" << QByteArray("msg_setcolor(QString,int,int,int)")
                              << QVariantList{"p1", 255, 0, -3};
    QTest::newRow("wb pen.width") << board("pen.width", R"(,"value":"5")") << QByteArray() << "pv"
                                  << QByteArray("msg_penwidth(QString,int)")
                                  << QVariantList{"p1", 5};
    QTest::newRow("wb clear") << board("clear", "") << QByteArray() << "pv"
                              << QByteArray("msg_clear(QString)") << QVariantList{"p1"};
    QTest::newRow("wb undo") << board("undo", "") << QByteArray() << "pv"
                             << QByteArray("msg_undo(QString)") << QVariantList{"p1"};
    QTest::newRow("wb string.start")
        << board("string.start", R"(,"x":0,"y":0)") << QByteArray() << "pv"
        << QByteArray("msg_startText(QString,int,int)") << QVariantList{"p1", 560, 240};
    QTest::newRow("wb string.set") << board("string.set", R"(,"text":"你好")") << QByteArray()
                                   << "pv" << QByteArray("msg_setText(QString,QString)")
                                   << QVariantList{"p1", QString::fromUtf8("你好")};
    QTest::newRow("wb string.end") << board("string.end", "") << QByteArray() << "pv"
                                   << QByteArray("msg_endText(QString)") << QVariantList{"p1"};
    QTest::newRow("mouse.move")
        << QByteArray(R"({"type":"mouse.move","id":"5","from":"p1","x":500,"y":500})")
        << QByteArray() << "" << QByteArray() << QVariantList();
}

void TestServerDispatch::packets()
{
    QFETCH(QByteArray, packet);
    QFETCH(QByteArray, reply);
    QFETCH(QString, object);
    QFETCH(QByteArray, signal);
    QFETCH(QVariantList, args);

    std::unique_ptr<QSignalSpy> spy;
    if (!signal.isEmpty()) {
        spy = std::make_unique<QSignalSpy>(target(object), QByteArray("2" + signal).constData());
        QVERIFY(spy->isValid());
    }
    JWdataManage::GetInstance()->HandleText(QString::fromUtf8(packet), sock);
    // A sentinel proves what came before it (or that nothing did).
    JWdataManage::GetInstance()->HandleText(R"({"type":"mode","id":"end","from":"p1","value":"x"})",
                                            sock);
    const QByteArray sentinel =
        R"({"desc":"unknown mode::x","from":"jwshow","id":"end","ret":"-1","to":"p1","type":"mode"})";
    if (!reply.isEmpty())
        QCOMPARE(nextReply(), reply);
    QCOMPARE(nextReply(), sentinel);
    if (spy) {
        QCOMPARE(spy->size(), 1);
        QCOMPARE(spy->at(0), args);
    }
}

void TestServerDispatch::keepAliveReplacesCompanionPortOnlyWhenPositive()
{
    auto* dm = JWdataManage::GetInstance();
    dm->HandleText(R"({"type":"rcserver.keepalive","id":"0","from":"jwrcserver","port":"7000"})",
                   sock);
    QCOMPARE(g_rcPort.load(), 7000);
    for (const char* bad : {"0", "-3", "abc", "99999999999"}) {
        dm->HandleText(QString(R"({"type":"rcserver.keepalive","from":"c","port":"%1"})").arg(bad),
                       sock);
        QCOMPARE(g_rcPort.load(), 7000);
    }
    dm->HandleText(R"({"type":"login","id":"9","from":"p1","pwd":"x"})", sock);
    QVERIFY(nextReply().contains(R"("rc_port":"7000")"));
    g_rcPort = 5556;
}

void TestServerDispatch::unknownOrBrokenPacketsGetNoReply_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("unknown type") << R"({"type":"whiteboard.fly","id":"5","from":"p1"})";
    QTest::newRow("shape unknown act") << R"({"type":"whiteboard.shape","from":"p1","act":"tri"})";
    QTest::newRow("broken") << R"({"type":"mode","id":)";
    QTest::newRow("junk before") << R"(xx{"type":"mode","id":"5","from":"p1","value":"show"})";
    QTest::newRow("array") << R"([{"type":"mode"}])";
    QTest::newRow("empty type") << R"({"type":"","id":"5","from":"p1"})";
    QTest::newRow("type not a string") << R"({"type":7,"id":"5","from":"p1"})";
    QTest::newRow("line end") << "\n";
    QTest::newRow("wb redraw") << R"({"type":"whiteboard.redraw","id":"5","from":"p1"})";
    QTest::newRow("logout of a stranger") << R"({"type":"logout","from":"p9"})";
}

void TestServerDispatch::unknownOrBrokenPacketsGetNoReply()
{
    QFETCH(QString, text);
    QSignalSpy shapes(pv, &paintViewManage::msg_shape);
    if (text.contains("logout")) {
        // Do not lose our own connection: log out over a second one.
        QTcpSocket other;
        QVERIFY(
            testutil::connectClient(other, JWShowService::GetInstance()->ListenPort(), greeting));
        other.write(text.toUtf8());
        QTRY_COMPARE(other.state(), QAbstractSocket::UnconnectedState);
        return;
    }
    JWdataManage::GetInstance()->HandleText(text, sock);
    JWdataManage::GetInstance()->HandleText(
        R"({"type":"mode","id":"end","from":"p1","value":"remote"})", sock);
    QCOMPARE(
        nextReply(),
        QByteArray(R"({"desc":"","from":"jwshow","id":"end","ret":"0","to":"p1","type":"mode"})"));
    QCOMPARE(shapes.size(), 0);
}

void TestServerDispatch::logoutClosesTheConnection()
{
    QSignalSpy ended(pv, &paintViewManage::msg_endWhiteboard);
    QSignalSpy closed(show, &JWShowUi::msg_close);
    auto* um = JwUserManage::GetInstance();
    um->RemoveUserById("p2");
    QCOMPARE(um->Count(), 1);
    const int before = JWShowService::GetInstance()->ConnectionCount();
    JWdataManage::GetInstance()->HandleText(R"({"type":"logout","id":"5","from":"p1"})", sock);
    QCOMPARE(um->Count(), 0);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(ended.at(0).at(0).toString(), QString("p1"));
    QCOMPARE(closed.size(), 1);
    // No reply: the connection just ends.
    QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(client.readAll(), QByteArray());
    QTRY_COMPARE(JWShowService::GetInstance()->ConnectionCount(), before - 1);
    // Replies to the closed number go nowhere (and never to a newer connection).
    QVERIFY(!JWShowService::GetInstance()->Send(sock, "x"));
}

void TestServerDispatch::redrawReachesTheBoard()
{
    QSignalSpy spy(pv, &paintViewManage::msg_redraw);
    JWdataManage::GetInstance()->HandleText(R"({"type":"whiteboard.redraw","from":"p7"})", 0);
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QString("p7"));
}

JW_SERVER_TEST_MAIN(TestServerDispatch)
#include "tst_server_dispatch.moc"
