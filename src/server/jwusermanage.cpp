#include "server/jwusermanage.h"

#include "app/appglobals.h"
#include "app/jwlog.h"
#include "jwpaint/paintviewmanage.h"
#include "server/jwdebug.h"
#include "server/jwshowservice.h"
#include "show/jwshowui.h"
#include "ui/mainwindow.h"

#include <QMutexLocker>
#include <mutex>

// The signals below are emitted under the lock on purpose: the dispatcher and the
// socket server change the map from two threads, and the main window's list must
// see the additions and removals in the order the map saw them.

JwUserManage* JwUserManage::GetInstance()
{
    static std::once_flag once;
    static JwUserManage* instance = nullptr;
    // Lives until the process ends; the worker threads may use it until then.
    std::call_once(once, [] { instance = new JwUserManage; });
    return instance;
}

namespace
{
void announceRemoved(const QString& id, bool nowEmpty, bool endWhiteboard)
{
    if (g_mainWindow)
        emit g_mainWindow->msg_removeUser(id);
    if (!nowEmpty)
        return;
    if (endWhiteboard && g_paintViewManage)
        emit g_paintViewManage->msg_endWhiteboard(id);
    if (g_showUi)
        emit g_showUi->msg_close();
}
} // namespace

void JwUserManage::AddUser(const ControllerInfo& c)
{
    QMutexLocker l(&lock);
    if (users.contains(c.id))
        return;
    WriteLogWindow("add new user to usermap id:" + c.id);
    users.insert(c.id, c);
    if (g_mainWindow)
        emit g_mainWindow->msg_addUser(c.id, c.name, c.ip);
}

void JwUserManage::RemoveUserById(const QString& id)
{
    qCDebug(lcJwShow).noquote() << "RemoveUserById::" + id;
    QMutexLocker l(&lock);
    if (!users.contains(id))
        return;
    WriteLogWindow("map remove user by id:" + id);
    users.remove(id);
    announceRemoved(id, users.isEmpty(), true);
}

void JwUserManage::RemoveUserBySocket(SOCKET s)
{
    QMutexLocker l(&lock);
    // Every controller that logged in on the connection goes with it: one
    // connection may have logged in under several ids, and an entry left behind
    // would stay listed (and keep the show window open) for a connection that is
    // gone.
    for (auto it = users.begin(); it != users.end();) {
        if (it->sock != s) {
            ++it;
            continue;
        }
        const QString id = it.key();
        it = users.erase(it);
        announceRemoved(id, users.isEmpty(), true);
    }
}

void JwUserManage::RemoveAllUsers()
{
    QMutexLocker l(&lock);
    // Shut down, never closed here: only the socket server closes a connection,
    // so its number cannot be reused while it still watches it.
    const QList<QString> ids = users.keys();
    for (const QString& id : ids) {
        const ControllerInfo c = users.take(id);
        if (c.sock)
            JWShowService::GetInstance()->Shutdown(c.sock);
        announceRemoved(id, users.isEmpty(), false);
    }
}

ControllerInfo JwUserManage::GetUserById(const QString& id)
{
    QMutexLocker l(&lock);
    return users.value(id);
}

void JwUserManage::CloseUserById(const QString& id)
{
    const ControllerInfo c = GetUserById(id);
    if (c.sock != 0)
        JWShowService::GetInstance()->Shutdown(c.sock);
}

int JwUserManage::Count()
{
    QMutexLocker l(&lock);
    return users.size();
}
