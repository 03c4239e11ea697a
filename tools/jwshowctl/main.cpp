// jwshowctl: a controller on the command line. Connects to the program, prints the
// greeting, optionally logs in, sends packets (JSON arguments, shortcuts, or JSON
// lines from standard input) and prints every reply and report as it arrives, one
// per line.

#include "protocol/jsonscanner.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

namespace
{

const char kUsage[] =
    "usage: jwshowctl [--host H] [--port P] [--login FROM[,NAME[,PWD]]] [--from ID]\n"
    "                 [--wait MS] [--gap MS] [PACKET ...]\n"
    "\n"
    "Connects to the program (default 127.0.0.1:5555), prints the greeting, logs in when\n"
    "--login is given (id \"1\"; NAME defaults to FROM, PWD to \"1\"), then sends each\n"
    "PACKET and prints every reply and report as one line. Without PACKETs, JSON packets\n"
    "are read from standard input, one per line. After the last packet it keeps\n"
    "listening for --wait MS (default 500). --gap MS pauses between packets.\n"
    "\n"
    "A PACKET is a JSON object, or one of these shortcuts (from = --from, else the login's\n"
    "FROM, else \"jwshowctl\"; id counts up from 2):\n"
    "  mode show|remote             show.image URL           show.video URL\n"
    "  control ACT [TIME|VALUE]     move X Y                 files\n"
    "  resolution set W H           resolution reduction     logout\n"
    "  key next|previous|first|last|start|end|black|white  (a slide key)\n"
    "\n"
    "Exit status: 0 when done, 1 when the program closed the connection before every\n"
    "packet was sent, 2 on a usage error or when the connection cannot be made.\n";

int usageError(const QString& why)
{
    QTextStream err(stderr);
    err << "jwshowctl: " << why << "\n\n" << kUsage;
    return 2;
}

// Length of the first complete JSON object at the start of data, braces inside
// strings not counted; -1 while incomplete.
int objectLength(const QByteArray& data)
{
    JsonObjectScanner scanner;
    for (int i = 0; i < data.size(); ++i) {
        if (scanner.step(data.at(i)) == JsonObjectScanner::ObjectEnd)
            return i + 1;
    }
    return -1;
}

QByteArray compact(const QJsonObject& o)
{
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

class Ctl : public QObject
{
public:
    QString host = QStringLiteral("127.0.0.1");
    quint16 port = 5555;
    int waitMs = 500;
    int gapMs = 0;
    bool readStdin = false;
    QList<QByteArray> packets; // in order
    QJsonObject login;         // sent first when asked for, with the address we connect from

    int exitCode = 0;

    void start()
    {
        connect(&sock_, &QTcpSocket::connected, this, [this] {
            // The greeting has no terminator; it is complete when the line goes
            // quiet for a moment (or a reply starts).
            greetTimer_.start(2000);
        });
        connect(&sock_, &QTcpSocket::readyRead, this, &Ctl::onRead);
        connect(&sock_, &QTcpSocket::disconnected, this, &Ctl::onClosed);
        connect(&sock_, &QAbstractSocket::errorOccurred, this, [this] {
            if (!connected_) {
                QTextStream(stderr) << "jwshowctl: cannot connect to " << host << ":" << port
                                    << ": " << sock_.errorString() << "\n";
                finish(2);
            }
        });
        greetTimer_.setSingleShot(true);
        connect(&greetTimer_, &QTimer::timeout, this, &Ctl::greeted);
        endTimer_.setSingleShot(true);
        connect(&endTimer_, &QTimer::timeout, this, [this] { finish(0); });
        sock_.connectToHost(host, port);
    }

private:
    void onRead()
    {
        buffer_ += sock_.readAll();
        if (!connected_) {
            const int brace = buffer_.indexOf('{');
            if (brace >= 0) {
                greeted();
            } else {
                greetTimer_.start(30);
                return;
            }
        }
        printReplies();
    }

    void printReplies()
    {
        for (;;) {
            const int len = objectLength(buffer_);
            if (len < 0)
                break;
            emitLine(buffer_.left(len));
            buffer_.remove(0, len);
        }
    }

    void emitLine(const QByteArray& bytes)
    {
        fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }

    void greeted()
    {
        if (connected_)
            return;
        connected_ = true;
        greetTimer_.stop();
        const int brace = buffer_.indexOf('{');
        const int len = brace < 0 ? buffer_.size() : brace;
        emitLine(buffer_.left(len));
        buffer_.remove(0, len);
        printReplies();
        if (!login.isEmpty()) {
            // A phone states its own address; ours is the one the program sees.
            login.insert(QStringLiteral("ip"), sock_.localAddress().toString());
            packets.prepend(compact(login));
        }
        sendNext();
    }

    void sendNext()
    {
        if (next_ < packets.size()) {
            sock_.write(packets.at(next_++));
            sock_.flush();
            if (gapMs > 0)
                QTimer::singleShot(gapMs, this, &Ctl::sendNext);
            else
                sendNext();
            return;
        }
        if (readStdin && !stdinDone_) {
            if (!stdinNotifier_) {
                stdinNotifier_ = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
                connect(stdinNotifier_, &QSocketNotifier::activated, this, &Ctl::onStdin);
            }
            return;
        }
        sentAll_ = true;
        endTimer_.start(waitMs);
    }

    void onStdin()
    {
        char chunk[4096];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n > 0)
            stdinBuf_.append(chunk, int(n));
        int nl;
        while ((nl = stdinBuf_.indexOf('\n')) >= 0) {
            sendLine(stdinBuf_.left(nl));
            stdinBuf_.remove(0, nl + 1);
        }
        if (n <= 0) { // end of input: a last line without line end counts too
            sendLine(stdinBuf_);
            stdinBuf_.clear();
            stdinDone_ = true;
            stdinNotifier_->setEnabled(false);
            sendNext();
        }
    }

    void sendLine(QByteArray line)
    {
        line = line.trimmed();
        if (line.isEmpty())
            return;
        sock_.write(line);
        sock_.flush();
    }

    void onClosed()
    {
        if (sock_.isOpen())
            buffer_ += sock_.readAll();
        printReplies();
        if (!buffer_.trimmed().isEmpty())
            emitLine(buffer_); // an incomplete tail is still worth seeing
        buffer_.clear();
        if (!connected_)
            return; // reported by the error handler
        const bool early = !sentAll_ && (next_ < packets.size() || (readStdin && !stdinDone_));
        if (early)
            QTextStream(stderr) << "jwshowctl: the program closed the connection\n";
        finish(early ? 1 : 0);
    }

    void finish(int code)
    {
        if (finished_)
            return;
        finished_ = true;
        exitCode = code;
        // The socket closes when this object goes away; that close is not news.
        sock_.disconnect(this);
        QCoreApplication::exit(code);
    }

    QTcpSocket sock_;
    QByteArray buffer_;
    QByteArray stdinBuf_;
    QTimer greetTimer_, endTimer_;
    QSocketNotifier* stdinNotifier_ = nullptr; // owned by this (Qt parent)
    int next_ = 0;
    bool connected_ = false, sentAll_ = false, stdinDone_ = false, finished_ = false;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    Ctl ctl;
    QString loginSpec, fromOpt;
    QStringList rest;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        auto value = [&](QString* out) {
            if (i + 1 >= args.size())
                return false;
            *out = args.at(++i);
            return true;
        };
        QString v;
        if (a == QLatin1String("-h") || a == QLatin1String("--help")) {
            QTextStream(stdout) << kUsage;
            return 0;
        } else if (a == QLatin1String("--host")) {
            if (!value(&ctl.host) || ctl.host.isEmpty())
                return usageError(QStringLiteral("--host needs a host"));
        } else if (a == QLatin1String("--port")) {
            bool ok = false;
            const int p = value(&v) ? v.toInt(&ok) : 0;
            if (!ok || p <= 0 || p > 65535)
                return usageError(QStringLiteral("--port needs a port number (1-65535)"));
            ctl.port = quint16(p);
        } else if (a == QLatin1String("--login")) {
            if (!value(&loginSpec) || loginSpec.isEmpty())
                return usageError(QStringLiteral("--login needs FROM[,NAME[,PWD]]"));
        } else if (a == QLatin1String("--from")) {
            if (!value(&fromOpt))
                return usageError(QStringLiteral("--from needs an id"));
        } else if (a == QLatin1String("--wait") || a == QLatin1String("--gap")) {
            bool ok = false;
            const int ms = value(&v) ? v.toInt(&ok) : -1;
            if (!ok || ms < 0)
                return usageError(a + QStringLiteral(" needs milliseconds"));
            (a == QLatin1String("--wait") ? ctl.waitMs : ctl.gapMs) = ms;
        } else if (a.startsWith(QLatin1String("--"))) {
            return usageError(QStringLiteral("unknown option ") + a);
        } else {
            rest << a;
        }
    }

    QString from = fromOpt.isEmpty() ? QStringLiteral("jwshowctl") : fromOpt;
    if (!loginSpec.isEmpty()) {
        const QStringList parts = loginSpec.split(QLatin1Char(','));
        if (parts.size() > 3 || parts.at(0).isEmpty())
            return usageError(QStringLiteral("--login needs FROM[,NAME[,PWD]]"));
        if (fromOpt.isEmpty())
            from = parts.at(0);
        ctl.login = {{"type", "login"},
                     {"id", "1"},
                     {"from", parts.at(0)},
                     {"name", parts.value(1, parts.at(0))},
                     {"pwd", parts.value(2, QStringLiteral("1"))}};
    }

    int nextId = 2;
    auto packet = [&](const QString& type, QJsonObject fields) {
        fields.insert("type", type);
        fields.insert("id", QString::number(nextId++));
        fields.insert("from", from);
        return compact(fields);
    };
    for (int i = 0; i < rest.size(); ++i) {
        const QString& w = rest.at(i);
        auto need = [&](int n) { return i + n < rest.size(); };
        if (w.startsWith(QLatin1Char('{'))) {
            QJsonParseError pe;
            const QJsonDocument doc = QJsonDocument::fromJson(w.toUtf8(), &pe);
            if (!doc.isObject())
                return usageError(QStringLiteral("not a JSON object: ") + w);
            ctl.packets << compact(doc.object());
        } else if (w == QLatin1String("mode") && need(1)) {
            ctl.packets << packet("mode", {{"value", rest.at(++i)}});
        } else if ((w == QLatin1String("show.image") || w == QLatin1String("show.video")) &&
                   need(1)) {
            ctl.packets << packet(w, {{"url", rest.at(++i)}});
        } else if (w == QLatin1String("control") && need(1)) {
            const QString act = rest.at(++i);
            QJsonObject f{{"act", act}};
            if (need(1) && !rest.at(i + 1).startsWith(QLatin1Char('{')) &&
                (act == QLatin1String("volume") || act == QLatin1String("mute")))
                f.insert("value", rest.at(++i));
            else if (need(1) && (act == QLatin1String("seek") || act.startsWith("fast-")))
                f.insert("time", rest.at(++i));
            ctl.packets << packet("show.video.control", f);
        } else if (w == QLatin1String("move") && need(2)) {
            bool okx = false, oky = false;
            const double x = rest.at(i + 1).toDouble(&okx), y = rest.at(i + 2).toDouble(&oky);
            if (!okx || !oky)
                return usageError(QStringLiteral("move needs two numbers"));
            i += 2;
            ctl.packets << packet("mouse.move", {{"x", x}, {"y", y}});
        } else if (w == QLatin1String("files")) {
            ctl.packets << packet("file.list", {});
        } else if (w == QLatin1String("resolution") && need(1) &&
                   rest.at(i + 1) == QLatin1String("set") && need(3)) {
            ctl.packets << packet(
                "resolution",
                {{"act", "set"}, {"width", rest.at(i + 2)}, {"height", rest.at(i + 3)}});
            i += 3;
        } else if (w == QLatin1String("resolution") && need(1)) {
            ctl.packets << packet("resolution", {{"act", rest.at(++i)}});
        } else if (w == QLatin1String("key") && need(1)) {
            ctl.packets << packet("key", {{"value", rest.at(++i)}});
        } else if (w == QLatin1String("logout")) {
            ctl.packets << packet("logout", {});
        } else {
            return usageError(QStringLiteral("cannot read packet: ") + w);
        }
    }
    ctl.readStdin = rest.isEmpty();

    // Started from the event loop so that an early failure can end it.
    QTimer::singleShot(0, &ctl, [&ctl] { ctl.start(); });
    return app.exec();
}
