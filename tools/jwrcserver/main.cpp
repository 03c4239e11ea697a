// JWRCServer_x64: the stand-in for the companion remote-control server. It does
// what the program relies on: it listens on the port it was given, checks the code
// of a client of that port, and reports its port to the program's socket server
// with a keep-alive packet every 5 s, reconnecting whenever that connection drops.
//
//   JWRCServer_x64 -app_mode /port P /auth CODE /msg_port M [/logout]
//
// "/logout" (the program passes it in debug mode) makes the stand-in describe what
// it does on standard error.

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

const char kUsage[] = "usage: JWRCServer_x64 -app_mode /port P /auth CODE /msg_port M [/logout]\n"
                      "  P    port to listen on (0-65535; 0 picks a free one)\n"
                      "  CODE code a client must send as the line \"auth CODE\"\n"
                      "  M    port of the program's socket server on 127.0.0.1 (0: none)\n";

constexpr int kKeepAliveMs = 5000;
constexpr int kRetryMs = 1000;        // reconnect and re-listen pace
constexpr int kGreetingWaitMs = 1000; // a silent server still gets the keep-alive
constexpr int kMaxLine = 1024;

int sigFds[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    // Nothing else is safe here; the event loop reads the byte and quits.
    [[maybe_unused]] ssize_t n = ::write(sigFds[1], &c, 1);
}

bool parsePort(const QString& text, quint16* out)
{
    bool ok = false;
    const int v = text.toInt(&ok, 10);
    if (!ok || v < 0 || v > 65535 || text.startsWith(QLatin1Char('+')))
        return false;
    *out = quint16(v);
    return true;
}

class RcServer : public QObject
{
public:
    RcServer(quint16 port, QString code, quint16 msgPort, bool verbose)
        : port_(port), code_(std::move(code)), msgPort_(msgPort), verbose_(verbose)
    {
        connect(&server_, &QTcpServer::newConnection, this, &RcServer::onClient);
        connect(&link_, &QTcpSocket::connected, this, &RcServer::onLinkConnected);
        connect(&link_, &QTcpSocket::readyRead, this, &RcServer::onLinkData);
        connect(&link_, &QTcpSocket::disconnected, this, &RcServer::onLinkLost);
        connect(&link_, &QAbstractSocket::errorOccurred, this, [this] {
            if (link_.state() != QAbstractSocket::ConnectedState)
                onLinkLost();
        });
        keepAlive_.setInterval(kKeepAliveMs);
        connect(&keepAlive_, &QTimer::timeout, this, &RcServer::sendKeepAlive);
        greetingWait_.setSingleShot(true);
        connect(&greetingWait_, &QTimer::timeout, this, &RcServer::greeted);
        retry_.setSingleShot(true);
        connect(&retry_, &QTimer::timeout, this, &RcServer::connectLink);
    }

    ~RcServer() override
    {
        // The link is destroyed after the timers declared below it, and its
        // destructor aborts the connection: the disconnect handler would then
        // reach timers that are already gone.
        link_.disconnect(this);
    }

    void start()
    {
        listen();
        connectLink();
    }

private:
    void log(const QString& text)
    {
        if (verbose_)
            QTextStream(stderr) << "JWRCServer: " << text << "\n";
    }

    void listen()
    {
        if (server_.listen(QHostAddress::Any, port_)) {
            log(QStringLiteral("listening on %1").arg(server_.serverPort()));
            return;
        }
        // Exiting would only make the program start us again at once; keep the
        // keep-alive going and try the port again later.
        QTextStream(stderr) << "JWRCServer: cannot listen on port " << port_ << ": "
                            << server_.errorString() << "\n";
        QTimer::singleShot(kRetryMs, this, &RcServer::listen);
    }

    // The port reported to the program: the one listened on (equal to P unless P
    // was 0).
    quint16 reportedPort() const { return server_.isListening() ? server_.serverPort() : port_; }

    void onClient()
    {
        while (QTcpSocket* c = server_.nextPendingConnection()) {
            c->setParent(this);
            connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
            connect(c, &QTcpSocket::readyRead, this, [this, c] { onClientData(c); });
        }
    }

    void onClientData(QTcpSocket* c)
    {
        if (c->property("authed").toBool()) {
            c->readAll(); // the stand-in has nothing more to offer
            return;
        }
        const QByteArray pending = c->property("buf").toByteArray() + c->readAll();
        const int nl = pending.indexOf('\n');
        if (nl < 0) {
            if (pending.size() > kMaxLine)
                deny(c);
            else
                c->setProperty("buf", pending);
            return;
        }
        QByteArray line = pending.left(nl);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line == "auth " + code_.toUtf8()) {
            log(QStringLiteral("client authenticated"));
            c->setProperty("authed", true);
            c->setProperty("buf", QByteArray());
            c->write("ok\n");
        } else {
            deny(c);
        }
    }

    void deny(QTcpSocket* c)
    {
        log(QStringLiteral("client denied"));
        c->write("denied\n");
        c->disconnectFromHost(); // after the pending bytes are written
    }

    void connectLink()
    {
        if (msgPort_ == 0)
            return;
        greeting_ = false;
        link_.abort();
        link_.connectToHost(QHostAddress::LocalHost, msgPort_);
    }

    void onLinkConnected()
    {
        log(QStringLiteral("connected to port %1").arg(msgPort_));
        greetingWait_.start(kGreetingWaitMs);
    }

    void onLinkData()
    {
        link_.readAll(); // the greeting; nothing else is expected
        greeted();
    }

    void greeted()
    {
        if (greeting_)
            return;
        greeting_ = true;
        greetingWait_.stop();
        sendKeepAlive();
        keepAlive_.start();
    }

    void sendKeepAlive()
    {
        if (link_.state() != QAbstractSocket::ConnectedState)
            return;
        // Key order is part of the contract, so the text is written by hand.
        const QByteArray packet = QByteArray(R"({"type":"rcserver.keepalive","id":"0",)") +
                                  R"("from":"jwrcserver","port":")" +
                                  QByteArray::number(reportedPort()) + "\"}";
        link_.write(packet);
        log(QStringLiteral("keep-alive sent"));
    }

    void onLinkLost()
    {
        keepAlive_.stop();
        greetingWait_.stop();
        if (!retry_.isActive()) {
            log(QStringLiteral("no connection to port %1, retrying").arg(msgPort_));
            retry_.start(kRetryMs);
        }
    }

    quint16 port_;
    QString code_;
    quint16 msgPort_;
    bool verbose_;
    bool greeting_ = false;
    QTcpServer server_;
    QTcpSocket link_;
    QTimer keepAlive_, greetingWait_, retry_;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments().mid(1);

    quint16 port = 0, msgPort = 0;
    const bool shapeOk =
        (a.size() == 7 || (a.size() == 8 && a.at(7) == QLatin1String("/logout"))) &&
        a.at(0) == QLatin1String("-app_mode") && a.at(1) == QLatin1String("/port") &&
        a.at(3) == QLatin1String("/auth") && a.at(5) == QLatin1String("/msg_port");
    if (!shapeOk || !parsePort(a.at(2), &port) || a.at(4).isEmpty() ||
        a.at(4).contains(QLatin1Char('\n')) || !parsePort(a.at(6), &msgPort)) {
        QTextStream(stderr) << kUsage;
        return 2;
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sigFds) != 0) {
        perror("JWRCServer: socketpair");
        return 1;
    }
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    QSocketNotifier sigNotifier(sigFds[0], QSocketNotifier::Read);
    QObject::connect(&sigNotifier, &QSocketNotifier::activated, &app, [] {
        char c;
        [[maybe_unused]] ssize_t n = ::read(sigFds[0], &c, 1);
        QCoreApplication::exit(0);
    });

    RcServer server(port, a.at(4), msgPort, a.size() == 8);
    QTimer::singleShot(0, &server, [&server] { server.start(); });
    return app.exec();
}
