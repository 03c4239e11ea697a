#pragma once
// The dispatcher: the queue of received packets, their parsing and routing, the
// replies, and the work on the host (pointer, address list, companion port).

#include "protocol/jwmess.h"

#include <QList>
#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QWaitCondition>
#include <atomic>

class QJsonObject;

class JWdataManage : public QThread {
    Q_OBJECT
public:
    static JWdataManage* GetInstance();

    void AddData(const JwMess& m); // called by the socket server thread
    void Stop();

    // True while more packet text waits than the dispatcher should hold; the
    // socket server then stops reading, so a controller that writes faster than
    // packets are handled is slowed down by TCP instead of growing the queue.
    bool Backlogged() const;
    static constexpr qint64 kMaxQueuedChars = 1024 * 1024; // about 20,000 packets

    // Replies (any thread).
    void sendRetPack(SOCKET sock, const JWData& d);
    void SendData(SOCKET sock, const QString& text);
    static QString BuildReply(const JWData& d);

    static QStringList GetLocalIpAddress();

    // Handles one packet text exactly as the loop does (used by run and tests).
    void HandleText(const QString& text, SOCKET sock);

protected:
    void run() override;

private:
    JWdataManage();
    ~JWdataManage() override;
    void HandleWhiteboard(const QString& type, const QString& from, const QJsonObject& obj);
    void CheckLocalIpChange();
    struct Private;
    Private* d;
};
