#pragma once
// The browser remote as the windows see it: a server on a thread of its own,
// started, moved and stopped from the GUI thread. Each call returns when the
// server thread has carried it out; that thread never waits for the GUI thread.

#include "base/threadcall.h"

#include <QObject>
#include <QThread>

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
    WebRemote(ControlServer& control, PairingGuard& guard);
    ~WebRemote(); // closes every page and request, then stops the thread
    WebRemote(const WebRemote&) = delete;
    WebRemote& operator=(const WebRemote&) = delete;

    // Listens on 0.0.0.0:port; a remote already listening moves there (its pages
    // close). False when the port cannot be had; nothing listens then.
    bool listen(quint16 port);
    void close();
    quint16 port() const { return port_; } // 0 while not listening

private:
    QThread thread_;
    ThreadCall anchor_;                // lives on the thread: calls are run there through it
    web::WebServer* server_ = nullptr; // made and deleted on the thread
    quint16 port_ = 0;
};
