#pragma once
// The browser remote as the windows see it: a server on a thread of its own,
// started, moved and stopped from the GUI thread. Each call returns when the
// server thread has carried it out; that thread never waits for the GUI thread.

#include "base/threadcall.h"

#include <QImage>
#include <QObject>
#include <QThread>
#include <mutex>

namespace web
{
class WebServer;
}
class ControlServer;
class PairingGuard;

class WebRemote
{
public:
    // Its pages are controllers of the control server; both it and the guard
    // outlive the remote.
    // keepMs: how long a page that went away keeps its controller (tests shorten it).
    WebRemote(ControlServer& control, PairingGuard& guard, int keepMs = 15000);
    ~WebRemote(); // closes every page and request, then stops the thread
    WebRemote(const WebRemote&) = delete;
    WebRemote& operator=(const WebRemote&) = delete;

    // Listens on 0.0.0.0:port; a remote already listening moves there (its pages
    // close). False when the port cannot be had; nothing listens then.
    bool listen(quint16 port);
    void close();
    quint16 port() const { return port_; } // 0 while not listening
    // The picture the show window now shows: the pages get a small copy of it,
    // made on the remote's thread. Pictures that come faster than it makes them
    // are skipped, but for the last.
    void showPicture(const QImage& picture);

private:
    QThread thread_;
    ThreadCall anchor_;                // lives on the thread: calls are run there through it
    web::WebServer* server_ = nullptr; // made and deleted on the thread
    quint16 port_ = 0;
    std::mutex pictureLock_; // guards the two below
    QImage picture_;
    bool pictureWaiting_ = false;
};
