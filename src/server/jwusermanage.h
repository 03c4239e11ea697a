#pragma once
// The logged-in controllers, keyed by the identity they send as "from".

#include "protocol/jwmess.h"

#include <QMap>
#include <QMutex>
#include <QString>

struct ControllerInfo {
    QString id;
    QString name;
    QString ip;
    QString pwd;
    SOCKET sock = 0;
};

class JwUserManage {
public:
    static JwUserManage* GetInstance();

    void AddUser(const ControllerInfo& c);
    void RemoveUserById(const QString& id);
    void RemoveUserBySocket(SOCKET s);
    void RemoveAllUsers();
    ControllerInfo GetUserById(const QString& id);
    void CloseUserById(const QString& id);
    int Count();

private:
    JwUserManage() = default;
    QMap<QString, ControllerInfo> users;
    QMutex lock;
};
