// Received bytes to routed signals and built replies, as the server and the
// dispatcher take them: the splitter under three ways of cutting the same bytes,
// every piece through the dispatcher (its signals reach no window), and the reply
// builder on each packet's own fields.

#include "base/showimagerect.h"
#include "protocol/jsonguard.h"
#include "protocol/protocol.h"
#include "protocol/reply.h"
#include "server/controlserver.h"
#include "server/packetsplitter.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdint>
#include <cstdlib>

namespace
{
struct Cut {
    QStringList pieces;
    int pending = 0;
    int overflows = 0;
};

// step(i) is the size of the i-th read.
template <typename Step> Cut split(const char* data, int size, Step step)
{
    PacketSplitter s;
    Cut c;
    for (int at = 0, i = 0; at < size; ++i) {
        const int n = qMin(step(i), size - at);
        c.pieces += s.feed(data + at, n).texts();
        at += n;
        if (s.pending() > PacketSplitter::kMaxPending)
            abort();
    }
    c.pending = s.pending(), c.overflows = s.overflows();
    return c;
}

void check(bool ok)
{
    if (!ok)
        abort();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Nothing may reach the machine: no pointer warp without a display.
    unsetenv("DISPLAY");
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "fuzz_packets";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv); // never destroyed: the leak check runs at exit
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size)
{
    const char* data = reinterpret_cast<const char*>(bytes);
    const int len = int(qMin<size_t>(size, 1 << 20));
    // Read boundaries must not change what comes out. An unfinished rest over the
    // cap is dropped at whichever read it is seen, so those inputs are only
    // required not to fail.
    const Cut whole = split(data, len, [len](int) { return qMax(len, 1); });
    const Cut bytewise = split(data, len, [](int) { return 1; });
    quint32 seed = 2166136261u;
    for (int i = 0; i < qMin(len, 16); ++i)
        seed = (seed ^ quint8(data[i])) * 16777619u;
    const Cut random = split(data, len, [&seed](int) {
        seed = seed * 1103515245u + 12345u;
        return int(1 + (seed >> 16) % 97);
    });
    if (!whole.overflows && !bytewise.overflows && !random.overflows) {
        check(whole.pieces == bytewise.pieces && whole.pieces == random.pieces);
        check(whole.pending == bytewise.pending && whole.pending == random.pending);
    }

    // Two connections, the pieces dealt alternately, then both closed: the
    // registry must end empty whatever they sent.
    // One server for the run (never destroyed: the leak check runs at exit); its
    // threads never start, the dispatcher is driven from here and its commands
    // reach no window.
    static ControlServer* const server = [] {
        static ShowImageRect picture;
        picture.set(560, 240, 800, 600);
        ServerConfig config;
        config.code = QStringLiteral("654321");
        config.picture = &picture;
        auto* s = new ControlServer(config);
        s->dispatcher().SetReceivers({[](const cmd::ShowCommand&) {},
                                      [](const cmd::BoardCommand&) {},
                                      [](const cmd::MainCommand&) {}});
        return s;
    }();
    JWdataManage* dm = &server->dispatcher();
    for (int i = 0; i < bytewise.pieces.size(); ++i) {
        const QString& text = bytewise.pieces.at(i);
        dm->HandleText(text, SOCKET(7 + i % 2));

        const QByteArray utf8 = text.toUtf8();
        if (jsonguard::LosesReplacedContainer(std::string_view(utf8.constData(), utf8.size())))
            continue; // refused by the dispatcher too, before the parser loses memory
        const QJsonObject o = QJsonDocument::fromJson(utf8).object();
        JWData d;
        d.id = o.value(QLatin1String(proto::kId)).toString();
        d.to = o.value(QLatin1String(proto::kFrom)).toString();
        d.from = proto::kIdentity;
        d.type = o.value(QLatin1String(proto::kType)).toString();
        d.desc = o.value(QLatin1String(proto::kDesc)).toString();
        d.act = o.value(QLatin1String(proto::kAct)).toString();
        d.value = o.value(QLatin1String(proto::kValue)).toString();
        d.name = o.value(QLatin1String(proto::kName)).toString();
        // A reply is one JSON object that carries the packet's id back.
        QJsonParseError err{};
        const QJsonDocument reply = QJsonDocument::fromJson(BuildReply(d).toUtf8(), &err);
        check(err.error == QJsonParseError::NoError && reply.isObject());
        check(reply.object().value(QLatin1String(proto::kId)).toString() == d.id);
    }
    dm->HandleClose(7), dm->HandleClose(8);
    check(server->registry().Count() == 0);
    return 0;
}
