#include "web/webremote.h"

#include "base/appglobals.h"
#include "web/webserver.h"

#include <QMetaObject>

// The page's files live in this static library; they are registered only when
// something refers to them.
static void registerPageFiles()
{
    Q_INIT_RESOURCE(web);
}

WebRemote::WebRemote()
{
    registerPageFiles();
    thread_.setObjectName(QStringLiteral("web"));
    anchor_.moveToThread(&thread_);
    thread_.start();
    // Tests shorten the lock after wrong codes.
    bool ok = false;
    const qint64 lockMs = qEnvironmentVariableIntValue("JWSHOW_WEB_LOCKOUT_MS", &ok);
    const qint64 lock = ok && lockMs > 0 ? lockMs : web::PairingGuard::kWindowMs;
    anchor_.run([this, lock] { server_ = new web::WebServer(lock); });
}

WebRemote::~WebRemote()
{
    anchor_.run([this] {
        delete server_;
        server_ = nullptr;
    });
    thread_.quit();
    thread_.wait();
}

bool WebRemote::listen(quint16 port)
{
    bool ok = false;
    const QString hostName = g_computerName; // read here, on the thread that writes it
    anchor_.run([this, port, hostName, &ok] { ok = server_->listen(port, hostName); });
    port_ = ok ? port : 0;
    return ok;
}

void WebRemote::close()
{
    anchor_.run([this] { server_->closeAll(); });
    port_ = 0;
}
