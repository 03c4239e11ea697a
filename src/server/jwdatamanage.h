#pragma once
// The dispatcher: the queue of received packets, their parsing and routing, the
// replies, and the work on the host (pointer, address list, companion port).

#include "server/jwmess.h"

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
    // ... private members are the server's own
    friend struct JWdataManagePrivate;
    struct Private;
    Private* d;
};
