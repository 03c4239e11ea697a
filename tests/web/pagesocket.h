#pragma once
// A browser page's WebSocket with a synchronous face: it logs in as the page does
// (asking for the reports to pages, unless told not to) and hands out what the
// program sends, one message at a time.

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QWebSocket>

struct PageSocket {
    QWebSocket ws;
    QList<QByteArray> got;
    bool connected = false;

    PageSocket()
    {
        QObject::connect(&ws, &QWebSocket::textMessageReceived,
                         [this](const QString& t) { got << t.toUtf8(); });
        QObject::connect(&ws, &QWebSocket::connected, [this] { connected = true; });
    }
    bool open(quint16 port)
    {
        ws.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/ws").arg(port)));
        QDeadlineTimer deadline(5000);
        while (!connected && ws.state() != QAbstractSocket::UnconnectedState &&
               !deadline.hasExpired())
            QTest::qWait(5);
        return connected;
    }
    void send(const QJsonObject& packet)
    {
        ws.sendTextMessage(QString::fromUtf8(QJsonDocument(packet).toJson(QJsonDocument::Compact)));
    }
    // The next message; empty when none comes within ms.
    QByteArray next(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (got.isEmpty() && ws.state() == QAbstractSocket::ConnectedState &&
               !deadline.hasExpired())
            QTest::qWait(5);
        return got.isEmpty() ? QByteArray() : got.takeFirst();
    }
    // The login's reply.
    QByteArray login(const QString& from, const QString& code, bool reports = true)
    {
        QJsonObject p{{"type", "login"}, {"id", "1"}, {"from", from},
                      {"name", "web"},   {"ip", ""},  {"pwd", code}};
        if (reports)
            p.insert("reports", "1");
        send(p);
        return next();
    }
    int closedWith(int ms = 5000)
    {
        QDeadlineTimer deadline(ms);
        while (ws.state() != QAbstractSocket::UnconnectedState && !deadline.hasExpired())
            QTest::qWait(5);
        return ws.state() == QAbstractSocket::UnconnectedState ? int(ws.closeCode()) : -1;
    }
};
