#pragma once
// A TCP relay on 127.0.0.1 in front of a port, in a thread of its own, that can
// fail the way a phone's network does: every relayed connection reset at once,
// and new ones refused until it comes back.

#include <QThread>

class BrowserRelay;

class BrowserProxy
{
public:
    ~BrowserProxy();
    bool start(quint16 target); // listens on a free port
    quint16 port() const { return port_; }
    // Resets every relayed connection on both sides and refuses new ones.
    void cut();
    bool resume();        // listens again on the same port
    int accepted() const; // connections taken so far

private:
    QThread thread_;
    BrowserRelay* relay_ = nullptr;
    quint16 port_ = 0;
};
