#include "web/webremote.h"

#include "server/controlserver.h"
#include "web/webserver.h"

#include <QMetaObject>
#include <utility>

// The page's files live in this static library; they are registered only when
// something refers to them.
static void registerPageFiles()
{
    Q_INIT_RESOURCE(web);
}

WebRemote::WebRemote(ControlServer& control, PairingGuard& guard, int keepMs)
{
    registerPageFiles();
    thread_.setObjectName(QStringLiteral("web"));
    anchor_.moveToThread(&thread_);
    thread_.start();
    anchor_.run(
        [this, &control, &guard, keepMs] { server_ = new web::WebServer(control, guard, keepMs); });
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

void WebRemote::showPicture(const QImage& picture)
{
    {
        std::lock_guard<std::mutex> l(pictureLock_);
        picture_ = picture;
        if (std::exchange(pictureWaiting_, true))
            return; // the call already posted takes this one
    }
    QMetaObject::invokeMethod(
        server_,
        [this] {
            QImage latest;
            {
                std::lock_guard<std::mutex> l(pictureLock_);
                latest = std::move(picture_);
                picture_ = QImage();
                pictureWaiting_ = false;
            }
            server_->setPicture(latest);
        },
        Qt::QueuedConnection);
}
