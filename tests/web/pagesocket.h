#pragma once
// A browser page's WebSocket, synchronous: it logs in as the page does (asking for
// the reports to pages, unless told not to) and hands out messages one at a time.

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebSocket>

struct PageSocket {
    QWebSocket ws;
    QList<QByteArray> got;

    // Runs the event loop in short steps until done (QTest::qWaitFor sleeps 10 ms
    // between its turns, which a hundred pages add up).
    template <class F> static bool waitFor(F done, int ms = 5000)
    {
        const QDeadlineTimer deadline(ms);
        while (!done() && !deadline.hasExpired())
            QTest::qWait(1);
        return done();
    }

    PageSocket()
    {
        QObject::connect(&ws, &QWebSocket::textMessageReceived,
                         [this](const QString& t) { got << t.toUtf8(); });
    }
    bool open(quint16 port)
    {
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
        return waitFor([this] { return ws.state() == QAbstractSocket::ConnectedState; });
    }
    void send(const QJsonObject& packet)
    {
        ws.sendTextMessage(QString::fromUtf8(QJsonDocument(packet).toJson(QJsonDocument::Compact)));
    }
    // The next message; empty when none comes within ms, or the socket closes.
    QByteArray next(int ms = 5000)
    {
        const auto done = [this] {
            return !got.isEmpty() || ws.state() != QAbstractSocket::ConnectedState;
        };
        return waitFor(done, ms) && !got.isEmpty() ? got.takeFirst() : QByteArray();
    }
    QByteArray login(const QString& from, const QString& code, bool reports = true) // its reply
    {
        QJsonObject p{
            {"type", "login"}, {"id", "1"}, {"from", from}, {"name", "web"}, {"pwd", code}};
        if (reports)
            p.insert("reports", "1");
        send(p);
        return next();
    }
    int closedWith(int ms = 5000) // the close code; -1 while open
    {
        const bool closed =
            waitFor([this] { return ws.state() == QAbstractSocket::UnconnectedState; }, ms);
        return closed ? int(ws.closeCode()) : -1;
    }
};
