#pragma once
// Shared pieces of the server suites: a main that keeps the tests off any X
// display (mouse.move must never warp the pointer of a GUI test running beside
// us), free ports, and blocking reads of the server's replies.

#include <QApplication>
#include <QByteArray>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#define JW_SERVER_TEST_MAIN(TestClass)                                                             \
    int main(int argc, char** argv)                                                                \
    {                                                                                              \
        unsetenv("DISPLAY");                                                                       \
        qputenv("QT_QPA_PLATFORM", "offscreen");                                                   \
        QTemporaryDir dataDir;                                                                     \
        qputenv("JWSHOW_DATA_DIR", dataDir.path().toUtf8());                                       \
        QApplication app(argc, argv);                                                              \
        TestClass tc;                                                                              \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }

namespace testutil
{

inline int freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::AnyIPv4, 0);
    return s.serverPort();
}

// Reads until exactly n bytes arrived or the wait runs out; returns what came.
inline QByteArray readExactly(QTcpSocket& s, int n, int timeoutMs = 5000)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (out.size() < n && t.elapsed() < timeoutMs) {
        if (s.bytesAvailable() == 0 && !s.waitForReadyRead(50))
            continue;
        out += s.read(n - out.size());
    }
    return out;
}

// Reads one complete top-level JSON object (replies carry no braces in strings
// in these tests) or returns what arrived before the wait ran out.
inline QByteArray readObject(QTcpSocket& s, int timeoutMs = 5000)
{
    QByteArray out;
    int depth = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        if (s.bytesAvailable() == 0 && !s.waitForReadyRead(50))
            continue;
        char c;
        while (s.getChar(&c)) {
            out += c;
            if (c == '{')
                ++depth;
            if (c == '}' && --depth == 0)
                return out;
        }
    }
    return out;
}

// Connects and consumes the greeting.
inline bool connectClient(QTcpSocket& s, int port, const QByteArray& greeting)
{
    s.connectToHost(QHostAddress::LocalHost, quint16(port));
    if (!s.waitForConnected(3000))
        return false;
    return readExactly(s, greeting.size()) == greeting;
}

// Nothing more arrives within a short wait (used only to assert silence).
inline QByteArray drainFor(QTcpSocket& s, int ms)
{
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        s.waitForReadyRead(20);
        out += s.readAll();
    }
    return out;
}

} // namespace testutil
