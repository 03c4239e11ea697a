#pragma once
// The control server as one object: the controller registry, the dispatcher and
// the socket server, made from one configuration by start-up (or by a test) and
// handed down to whoever needs it. Destroying it stops both threads and closes
// every connection.

#include "server/jwdatamanage.h"
#include "server/jwshowservice.h"
#include "server/jwusermanage.h"
#include "server/serverconfig.h"

class ControlServer
{
public:
    explicit ControlServer(const ServerConfig& config);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Starts the dispatcher with the windows' receivers (GUI thread, once).
    void start(JWdataManage::Receivers receivers);
    // Listens on the port (the dispatcher runs whether or not this succeeds). On a
    // second call the listener moves and the connections stay.
    bool listen(int port);
    // Stops both threads (the quit); the windows hear nothing more afterwards.
    void stop();

    // Shuts the controller's connection down; its entry goes when the close of the
    // connection is handled. An unknown id does nothing.
    void disconnect(const QString& id);

    JwUserManage& registry() { return users_; }
    JWdataManage& dispatcher() { return dispatcher_; }
    JWShowService& sockets() { return sockets_; }
    const ServerConfig& config() const { return config_; }

private:
    const ServerConfig config_;
    JwUserManage users_;
    // The dispatcher sends through the socket server, which feeds the dispatcher:
    // the dispatcher is made first and given the socket server's place, used only
    // once both run.
    JWdataManage dispatcher_;
    JWShowService sockets_;
};
