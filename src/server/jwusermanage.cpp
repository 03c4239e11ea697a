#include "server/jwusermanage.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"

#include <algorithm>

JwUserManage::Added JwUserManage::AddUser(const ControllerInfo& c, SOCKET* previous)
{
    bool takenOver = false;
    {
        std::lock_guard<std::mutex> l(lock);
        auto known = users.find(c.id);
        if (known != users.end() && known->sock == c.sock)
            return Added::Known;
        const auto ofConnection =
            std::count_if(users.cbegin(), users.cend(),
                          [&c](const ControllerInfo& u) { return u.sock == c.sock; });
        if (ofConnection >= kMaxPerConnection ||
            (known == users.end() && users.size() >= kMaxControllers))
            return Added::Full;
        if (known != users.end()) {
            if (previous)
                *previous = known->sock;
            takenOver = true;
        }
        users.insert(c.id, c);
    }
    JWLOG::debug("add new user to usermap id:" + c.id);
    return takenOver ? Added::TakenOver : Added::Yes;
}

bool JwUserManage::RemoveUserById(const QString& id, bool* nowEmpty)
{
    qCDebug(lcJwShow).noquote() << "RemoveUserById::" + id;
    {
        std::lock_guard<std::mutex> l(lock);
        if (!users.remove(id))
            return false;
        *nowEmpty = users.isEmpty();
    }
    JWLOG::debug("map remove user by id:" + id);
    return true;
}

QStringList JwUserManage::RemoveUserBySocket(SOCKET s, bool* nowEmpty)
{
    // Every controller that logged in on the connection goes with it: one
    // connection may have logged in under several ids, and an entry left behind
    // would stay listed (and keep the show window open) for a connection that is
    // gone.
    QStringList removed;
    std::lock_guard<std::mutex> l(lock);
    for (auto it = users.begin(); it != users.end();) {
        if (it->sock == s) {
            removed << it.key();
            it = users.erase(it);
        } else {
            ++it;
        }
    }
    *nowEmpty = users.isEmpty();
    return removed;
}

ControllerInfo JwUserManage::GetUserById(const QString& id) const
{
    std::lock_guard<std::mutex> l(lock);
    return users.value(id);
}

int JwUserManage::Count() const
{
    std::lock_guard<std::mutex> l(lock);
    return users.size();
}

int JwUserManage::CountOf(SOCKET s) const
{
    std::lock_guard<std::mutex> l(lock);
    return int(std::count_if(users.cbegin(), users.cend(),
                             [s](const ControllerInfo& u) { return u.sock == s; }));
}
