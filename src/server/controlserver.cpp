#include "server/controlserver.h"

#include "base/threadjoin.h"

namespace
{
// The worker loops notice their cleared run flag at once; the bound only keeps a
// stuck thread from holding up the exit for ever.
constexpr unsigned long kThreadStopWaitMs = 3000;
} // namespace

ControlServer::ControlServer(const ServerConfig& config)
    : config_(config), dispatcher_(users_, sockets_, config_),
      sockets_(dispatcher_, config_.hostName)
{
}

ControlServer::~ControlServer()
{
    stop();
    sockets_.Terminate();
}

void ControlServer::start(JWdataManage::Receivers receivers)
{
    dispatcher_.SetReceivers(std::move(receivers));
    dispatcher_.start(QThread::InheritPriority);
}

bool ControlServer::listen(int port)
{
    return sockets_.Init(port);
}

void ControlServer::stop()
{
    sockets_.Stop();
    dispatcher_.Stop();
    threadjoin::Joined(sockets_.wait(kThreadStopWaitMs), &sockets_);
    threadjoin::Joined(dispatcher_.wait(kThreadStopWaitMs), &dispatcher_);
}

void ControlServer::disconnect(const QString& id)
{
    const ControllerInfo c = users_.GetUserById(id);
    if (c.sock != 0)
        sockets_.Shutdown(c.sock);
}
