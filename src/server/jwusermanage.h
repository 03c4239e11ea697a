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
    // Anyone on the network may log in under any id, so the store is bounded: a
    // phone uses one id, a connection may hold a few, and all of them together
    // fill the settings window's table (each a row) long before the limit.
    static constexpr int kMaxPerConnection = 8;
    static constexpr int kMaxControllers = 1024;
    enum class Added { Yes, Known, TakenOver, Full };
    // Known when the id is already registered on this connection. TakenOver when
    // another connection held it: the entry moves to this one (a phone back on a
    // new connection after its network dropped), and *previous names the old
    // connection, whose later close removes nothing. Full when the connection or
    // the store holds as many as it may.
    Added AddUser(const ControllerInfo& c, SOCKET* previous = nullptr);
    // True when the id was registered; *nowEmpty tells whether it was the last.
    bool RemoveUserById(const QString& id, bool* nowEmpty);
    // Every id that logged in on the connection, in id order; *nowEmpty as above.
    QStringList RemoveUserBySocket(SOCKET s, bool* nowEmpty);
    // A copy of the entry; an unknown id gives an empty record with sock 0.
    ControllerInfo GetUserById(const QString& id) const;
    int Count() const;
    int CountOf(SOCKET s) const; // the ids logged in on the connection

private:
    QMap<QString, ControllerInfo> users;
    mutable std::mutex lock;
};
