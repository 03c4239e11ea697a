// The control protocol of the real program as a phone meets it: greeting, login
// with the start's code, replies on the requesting connection, logout. Every
// packet type byte for byte is the in-process server suite's table.

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
    void greetingRoutingAndLogout();
};

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
