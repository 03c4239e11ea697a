#include "web/webremote.h"

#include "server/controlserver.h"
#include "web/webserver.h"

#include <QMetaObject>

// The page's files live in this static library; they are registered only when
// something refers to them.
static void registerPageFiles()
{
    Q_INIT_RESOURCE(web);
}

WebRemote::WebRemote(ControlServer& control, PairingGuard& guard)
{
    registerPageFiles();
    thread_.setObjectName(QStringLiteral("web"));
    anchor_.moveToThread(&thread_);
    thread_.start();
    anchor_.run([this, &control, &guard] { server_ = new web::WebServer(control, guard); });
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
    anchor_.run([this, port, &ok] { ok = server_->listen(port); });
    port_ = ok ? port : 0;
    return ok;
}

void WebRemote::close()
{
    anchor_.run([this] { server_->closeAll(); });
    port_ = 0;
}
