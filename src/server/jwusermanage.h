#pragma once
// The logged-in controllers, keyed by the identity they send as "from".
//
// A plain store: it announces nothing itself. Its changes are made by the
// dispatcher thread, in the order of the packets and closes of the connections,
// and the dispatcher announces them; other threads only read it.

#include "protocol/jwmess.h"

#include <QMap>
#include <QString>
#include <QStringList>
#include <mutex>

struct ControllerInfo {
    QString id;
    QString name;
    QString ip;
    QString pwd;
    SOCKET sock = 0;
};

class JwUserManage
{
public:
    static JwUserManage* GetInstance();

    // False when the id is already registered (the first login keeps it).
    bool AddUser(const ControllerInfo& c);
    // True when the id was registered; *nowEmpty tells whether it was the last.
    bool RemoveUserById(const QString& id, bool* nowEmpty);
    // Every id that logged in on the connection, in id order; *nowEmpty as above.
    QStringList RemoveUserBySocket(SOCKET s, bool* nowEmpty);
    // A copy of the entry; an unknown id gives an empty record with sock 0.
    ControllerInfo GetUserById(const QString& id) const;
    // Shuts the controller's connection down; its entry goes when the close of the
    // connection is handled. An unknown id does nothing.
    void CloseUserById(const QString& id) const;
    int Count() const;

private:
    JwUserManage() = default;
    QMap<QString, ControllerInfo> users;
    mutable std::mutex lock;
};
