// What the real program tells the browser remote's pages that asked for it, byte
// for byte, and what it keeps from everyone else: what came of a picture, of a
// video, of a show; and its help page on the web port.

#include "e2eutil.h"
#include "flatpng.h"
#include "httpserver.h"
#include "jwinstance.h"
#include "pagesocket.h"

#include <QSet>
#include <QtTest>

using namespace jwtest;

namespace
{
// A report to a page as the program writes it (keys in ascending order).
QByteArray report(const QByteArray& act, const QByteArray& id, const QByteArray& to,
                  const QByteArray& value, const QByteArray& desc = "")
{
    return R"({"act":")" + act + R"(","desc":")" + desc + R"(","from":"jwshow","id":")" + id +
           R"(","ret":")" + (desc.isEmpty() ? "0" : "-1") + R"(","to":")" + to +
           R"(","type":"show.report","value":")" + value + R"("})";
}
QJsonObject packet(const char* type, const QString& id, const QString& from,
                   const QJsonObject& more = {})
{
    QJsonObject p = more;
    p.insert("type", type), p.insert("id", id), p.insert("from", from);
    return p;
}
} // namespace

class TestPage : public QObject
{
    Q_OBJECT
    TestHttpServer pictures;
    std::unique_ptr<JwInstance> prog;
    std::unique_ptr<Controller> tcp;
    PageSocket page;
    QString code;
    quint16 web = 0;

    // The next message that is no picture report (those come whenever the shown
    // picture changes).
    QByteArray nextReply()
    {
        QByteArray m = page.next(10000);
        while (m.contains(R"("act":"picture")"))
            m = page.next(10000);
        return m;
    }
    // The next two such messages, in either order: the reply to a request for the
    // show window and the report from it race each other.
    QSet<QByteArray> nextTwo()
    {
        const QByteArray first = nextReply();
        return {first, nextReply()};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(pictures.start());
        pictures.serve("/a.png", flatPng(qRgb(10, 120, 200), 300, 200), "image/png");
        pictures.serve("/b.png", flatPng(qRgb(200, 120, 10), 200, 300), "image/png");
        pictures.serve("/notes.txt", "not a picture at all", "text/plain");
        TestHttpServer::Route huge;
        huge.contentType = "image/png";
        huge.declaredLength = 200LL * 1024 * 1024;
        huge.chunkBytes = 64 * 1024;
        pictures.setRoute("/huge.png", huge);
        TestHttpServer::Route broken{"", "text/plain", 500};
        pictures.setRoute("/broken.png", broken);

        JwInstanceOptions o = presentingOptions();
        o.port = freePortWith({1, 2});
        o.env.insert("JWSHOW_VLC_ARGS", "--aout=adummy");
        prog = std::make_unique<JwInstance>(o);
        QVERIFY2(prog->start(), qPrintable(prog->errorString()));
        web = prog->port() + 2;
        QTRY_VERIFY_WITH_TIMEOUT(isListening(web), 10000);
        tcp = std::make_unique<Controller>(prog->port());
        QVERIFY(tcp->connectToHost());
        code = QString::fromLatin1(e2e::tokenOf(tcp->login("tcp-1", "Tom")));

        QVERIFY(page.open(web));
        QCOMPARE(page.login("web-r", code),
                 e2e::loginReply("1", "web-r", "web", prog->port() + 1, code.toLatin1()));
        const QJsonObject hello = QJsonDocument::fromJson(page.next()).object();
        QCOMPARE(hello.value("act").toString(), QString("hello"));
        QCOMPARE(hello.value("name").toString(), QString("Tovanel")); // as its windows say
        // The idle picture to draw on: 520 x 450, a small JPEG.
        const QJsonObject idle = QJsonDocument::fromJson(page.next()).object();
        QCOMPARE(idle.value("act").toString(), QString("picture"));
        QCOMPARE(idle.value("width").toString() + 'x' + idle.value("height").toString(),
                 QString("520x450"));
        QVERIFY(idle.value("url").toString().startsWith("data:image/jpeg;base64,"));
        QVERIFY(idle.value("url").toString().size() < 70 * 1024);
    }
    void cleanupTestCase()
    {
        if (prog)
            QCOMPARE(prog->stop(), 0);
    }

    // The show comes up full screen (no window manager here refuses it).
    void showReported()
    {
        for (const QByteArray id : {"m1", "m2"}) {
            page.send(packet("mode", id, "web-r", {{"value", "show"}}));
            QCOMPARE(nextTwo(), QSet<QByteArray>({e2e::envelope(id, "web-r", "mode"),
                                                  report("window", "000000", "", "full")}));
        }
    }

    void pictureReported_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("shown") << pictures.url("/a.png") << QByteArray("shown") << QByteArray();
        QTest::newRow("not found")
            << pictures.url("/none.png") << QByteArray("failed") << QByteArray("not found");
        QTest::newRow("server error")
            << pictures.url("/broken.png") << QByteArray("failed") << QByteArray("HTTP 500");
        QTest::newRow("not a picture")
            << pictures.url("/notes.txt") << QByteArray("failed") << QByteArray("not a picture");
        QTest::newRow("too large")
            << pictures.url("/huge.png") << QByteArray("failed") << QByteArray("too large");
        QTest::newRow("nobody there") << QStringLiteral("http://127.0.0.1:%1/a.png").arg(freePort())
                                      << QByteArray("failed") << QByteArray("cannot connect");
        QTest::newRow("a file") << QStringLiteral("file:///etc/hostname") << QByteArray("failed")
                                << QByteArray("not a web address");
    }
    // The page hears what came of its picture; a TCP controller only the reply,
    // as ever.
    void pictureReported()
    {
        QFETCH(QString, url);
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, reason);
        page.send(packet("show.image", "p1", "web-r", {{"url", url}}));
        QCOMPARE(nextTwo(), QSet<QByteArray>({e2e::envelope("p1", "web-r", "show.image"),
                                              report("image", "p1", "web-r", value, reason)}));
        QCOMPARE(tcp->request(packet("show.image", "t1", "tcp-1", {{"url", url}})),
                 e2e::envelope("t1", "tcp-1", "show.image"));
        QVERIFY(tcp->expectNoReply(300));
    }

    // A page shown a picture draws on a copy of it (which may come before the
    // report or after it).
    void pictureCopyFollows()
    {
        page.send(packet("show.image", "c1", "web-r", {{"url", pictures.url("/b.png")}}));
        QSet<QByteArray> told;
        QJsonObject copy;
        for (QByteArray m;
             (told.size() < 2 || copy.isEmpty()) && !(m = page.next(10000)).isEmpty();) {
            const QJsonObject o = QJsonDocument::fromJson(m).object();
            if (o.value("act") == "picture")
                copy = o;
            else
                told << m;
        }
        QCOMPARE(told, QSet<QByteArray>({e2e::envelope("c1", "web-r", "show.image"),
                                         report("image", "c1", "web-r", "shown")}));
        QCOMPARE(copy.value("width").toString(), QString("200"));
        QCOMPARE(copy.value("height").toString(), QString("300"));
    }

    void videoNotOpenedReported()
    {
        const QString nowhere = QStringLiteral("http://127.0.0.1:%1/v.mp4").arg(freePort());
        page.send(packet("show.video", "v1", "web-r", {{"url", nowhere}}));
        QSet<QByteArray> told;
        for (QByteArray m; told.size() < 2 && !(m = nextReply()).isEmpty();) {
            if (!m.contains("show.video.info"))
                told << m;
        }
        QCOMPARE(told,
                 QSet<QByteArray>({e2e::envelope("v1", "web-r", "show.video"),
                                   report("video", "000000", "web-r", "failed", "cannot open")}));
    }

    // A page that did not ask for the reports gets the protocol's packets alone.
    void reportsOnlyWhenAsked()
    {
        PageSocket plain;
        QVERIFY(plain.open(web));
        QVERIFY(plain.login("web-plain", code, false).contains("\"ret\":\"0\""));
        plain.send(packet("show.image", "q1", "web-plain", {{"url", pictures.url("/none.png")}}));
        QCOMPARE(plain.next(), e2e::envelope("q1", "web-plain", "show.image"));
        QCOMPARE(plain.next(1000), QByteArray());
    }

    void helpPage_data()
    {
        QTest::addColumn<QByteArray>("query");
        QTest::addColumn<QByteArray>("accept");
        QTest::addColumn<QByteArray>("lang");
        QTest::newRow("Chinese browser")
            << QByteArray() << QByteArray("zh-CN,zh;q=0.9") << QByteArray("zh-CN");
        QTest::newRow("English browser") << QByteArray() << QByteArray("en-GB") << QByteArray("en");
        QTest::newRow("asked for English")
            << QByteArray("?lang=en") << QByteArray("zh-CN") << QByteArray("en");
    }
    // Served to anyone, offline, with the ports to allow; never the code.
    void helpPage()
    {
        QFETCH(QByteArray, query);
        QFETCH(QByteArray, accept);
        QFETCH(QByteArray, lang);
        QTcpSocket s;
        s.connectToHost(QStringLiteral("127.0.0.1"), web);
        QVERIFY(s.waitForConnected(3000));
        s.write("GET /help" + query + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(web) +
                "\r\nAccept-Language: " + accept + "\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        while (s.waitForReadyRead(3000))
            answer += s.readAll();
        QVERIFY(answer.startsWith("HTTP/1.1 200"));
        QVERIFY(answer.contains("Content-Security-Policy: default-src 'self'"));
        QVERIFY(answer.contains("<html lang=\"" + lang + "\">"));
        for (const int port : {int(prog->port()), prog->port() + 1, prog->port() + 2})
            QVERIFY2(answer.contains("<b>" + QByteArray::number(port) + "</b>"),
                     qPrintable(QString::number(port)));
        QVERIFY(!answer.contains(code.toLatin1()));
        QVERIFY(!answer.contains("{{"));
    }
};

QTEST_MAIN(TestPage)
#include "tst_page.moc"
