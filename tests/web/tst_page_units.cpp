// The browser remote without the real program: a page that goes away keeps its controller
// for its return with the code, and only so long; the shown picture's copy stays small.

#include "base/showimagerect.h"
#include "commandtext.h"
#include "jwinstance.h"
#include "pagesocket.h"
#include "server/controlserver.h"
#include "server/pairingguard.h"
#include "web/pagepicture.h"
#include "web/webremote.h"
#include "wsframe.h"

#include <QRandomGenerator>
#include <QtTest>

#include <arpa/inet.h>
#include <atomic>
#include <sys/socket.h>
#include <thread>

namespace
{
const QString kCode = QStringLiteral("654321");
QByteArray field(const QByteArray& json, const char* key)
{
    return QJsonDocument::fromJson(json).object().value(QLatin1String(key)).toString().toUtf8();
}
} // namespace

class TestPageUnits : public QObject
{
    Q_OBJECT
    ShowImageRect picture;
    PairingGuard guard{kCode};
    std::unique_ptr<ControlServer> server;
    std::unique_ptr<WebRemote> web;      // keeps a controller longer than any case here
    std::unique_ptr<WebRemote> briefWeb; // keeps one for a moment
    QStringList routed;                  // what the windows were asked

    bool asked(const QString& what) const { return routed.contains(what); }
    // A page of the controller logged in; what it was told after the login.
    QByteArray logIn(PageSocket& page, quint16 port, const QString& from)
    {
        const bool in = page.open(port) && page.login(from, kCode).contains("\"ret\":\"0\"");
        return in ? page.next() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        ServerConfig config;
        config.code = kCode;
        config.pairing = &guard;
        config.picture = &picture;
        server = std::make_unique<ControlServer>(config);
        JWdataManage::Receivers r;
        r.show = [this](const cmd::ShowCommand& c) { routed << jwtest::text(c); };
        r.boards = [this](const cmd::BoardCommand& c) { routed << jwtest::text(c); };
        r.main = [this](const cmd::MainCommand& c) { routed << jwtest::text(c); };
        server->start(r);
        web = std::make_unique<WebRemote>(*server, guard, 600000);
        briefWeb = std::make_unique<WebRemote>(*server, guard, 200);
        QVERIFY(web->listen(jwtest::freePort()) && briefWeb->listen(jwtest::freePort()));
    }

    // A reload: the same controller logs in again with the code, and nothing of it left the
    // program meanwhile. A page without the code cannot have it.
    void reloadKeepsTheController()
    {
        PageSocket first;
        QCOMPARE(field(logIn(first, web->port(), "web-k"), "value"), QByteArray("new"));
        first.send({{"type", "whiteboard.start"}, {"id", "2"}, {"from", "web-k"}});
        QTRY_VERIFY(asked("board web-k open"));
        first.ws.abort();

        PageSocket stranger;
        QVERIFY(stranger.open(web->port()));
        stranger.login("web-k", "000000");
        QCOMPARE(stranger.closedWith(), 4001);

        PageSocket again;
        const QByteArray hello = logIn(again, web->port(), "web-k");
        QCOMPARE(field(hello, "act"), QByteArray("hello"));
        QCOMPARE(field(hello, "value"), QByteArray("kept"));
        // The first page's number closed behind the login: it took nothing along.
        for (const char* id : {"3", "4"}) {
            again.send({{"type", "mode"}, {"id", id}, {"from", "web-k"}, {"value", "remote"}});
            QCOMPARE(field(again.next(), "id"), QByteArray(id));
        }
        QVERIFY(!asked("removed web-k") && !asked("board web-k close"));
        QVERIFY(server->registry().GetUserById("web-k").sock != 0);

        // Kept, and disconnected from the main window: it goes at once.
        again.ws.close();
        QCOMPARE(again.closedWith(), int(QWebSocketProtocol::CloseCodeNormal));
        server->disconnect("web-k");
        QTRY_VERIFY(asked("removed web-k") && asked("board web-k close"));
    }

    // A page that does not come back ends as it would have at once.
    void notBackInTimeEnds()
    {
        PageSocket page;
        QCOMPARE(field(logIn(page, briefWeb->port(), "web-gone"), "value"), QByteArray("new"));
        page.ws.abort();
        QTRY_VERIFY(asked("removed web-gone"));
        PageSocket late;
        QCOMPARE(field(logIn(late, briefWeb->port(), "web-gone"), "value"), QByteArray("new"));
    }

    // A kept controller holds a page's place (reloading escapes no bound); when all are
    // taken, one kept for a page that has not come back gives way to a newcomer.
    void keptPagesCountAsPages()
    {
        std::vector<PageSocket> crowd(100);
        for (int i = 0; i < 100; ++i)
            QVERIFY(!logIn(crowd[i], web->port(), QStringLiteral("crowd-%1").arg(i)).isEmpty());
        crowd.front().ws.close();
        QCOMPARE(crowd.front().closedWith(), int(QWebSocketProtocol::CloseCodeNormal));
        PageSocket newcomer;
        QVERIFY(!logIn(newcomer, web->port(), "newcomer").isEmpty());
        QTRY_VERIFY(asked("removed crowd-0"));
        QVERIFY(!asked("removed crowd-1"));
    }

    // Whatever is shown, pages get a JPEG of tens of KiB at most, in the picture's proportions.
    void pagePictureIsSmall()
    {
        QImage noise(4000, 3000, QImage::Format_RGB32); // compresses worst
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.bits()),
                                              int(noise.sizeInBytes() / 4));
        for (const QImage& picture : {noise, noise.copy(0, 0, 60, 3000)}) {
            const QByteArray jpeg = web::PagePicture(picture, 480, 48 * 1024);
            const QImage back = QImage::fromData(jpeg, "JPEG");
            QVERIFY(jpeg.size() <= 48 * 1024 && back.width() <= 480 && back.height() <= 480);
            QVERIFY(qAbs(back.width() - picture.width() * back.height() / picture.height()) <= 1);
        }
    }

    // A phone that reads slowly while the pictures change fast is not cut off for
    // copies it never asked for: only the newest waits for room.
    void slowPhoneIsNotCutOffByPictures()
    {
        jwtest::RawSocket phone;
        phone.setReceiveBuffer(4096);
        QVERIFY(phone.connect(web->port()));
        const QByteArray login =
            R"({"type":"login","id":"1","from":"web-slow","reports":"1","pwd":"654321"})";
        QVERIFY(phone.send(kWsUpgrade + frame(login)));
        QVERIFY(phone.read(1, 5000).startsWith("HTTP/1.1 101"));
        // The server's end gets a send buffer as small as on Wi-Fi, not loopback's megabytes.
        for (int fd = 3; fd < 1024; ++fd) {
            sockaddr_in local{}, peer{};
            socklen_t a = sizeof local, b = sizeof peer;
            const int small = 16 * 1024;
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &a) == 0 &&
                local.sin_family == AF_INET && ntohs(local.sin_port) == web->port() &&
                ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &b) == 0)
                ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
        std::atomic<bool> flooding{true};
        std::thread reader([&] { // some 80 KB a second
            while (flooding) {
                phone.read(4096, 100, 4096);
                QThread::msleep(50);
            }
        });
        QImage noise(320, 240, QImage::Format_RGB32);
        for (int i = 0; i < 100; ++i) {
            QRandomGenerator::global()->fillRange(reinterpret_cast<quint32*>(noise.bits()),
                                                  int(noise.sizeInBytes() / 4));
            web->showPicture(noise);
            QTest::qWait(10);
        }
        flooding = false;
        reader.join();
        QVERIFY(!phone.closedByPeer());
    }
};

QTEST_MAIN(TestPageUnits)
#include "tst_page_units.moc"
