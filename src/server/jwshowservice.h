#pragma once
// The TCP front end: listening socket, accept, greeting, reads, close detection.
// One thread (run) owns every read, accept and close; other threads reach a
// connection only through its SOCKET number (send, shut down).

#include "protocol/jwmess.h"

#include <QThread>

class JWShowService : public QThread {
    Q_OBJECT
public:
    static JWShowService* GetInstance();

    // Binds 0.0.0.0:port, listens and starts the server thread. False (and no
    // thread) when the port cannot be bound or listened on.
    bool Init(int port);
    // Clears the serving flag; the loop ends at its next pass.
    void Stop();
    // Stops the server thread and waits for it, closes the listening socket and
    // drops every connection. Init may be called again afterwards.
    static void Terminate();

    // Writes all of bytes to the connection (bounded in time). False when the
    // connection is unknown or the write failed; a write that times out shuts the
    // connection down. Callable from any thread.
    bool Send(SOCKET sock, const QByteArray& bytes);
    // Shuts the connection down; the server thread's next read closes it.
    // Callable from any thread; an unknown number does nothing.
    void Shutdown(SOCKET sock);

    int ListenPort() const;     // the port of the last successful Init, else 0
    int ConnectionCount() const;

protected:
    void run() override;

private:
    JWShowService();
    ~JWShowService() override;
    struct Private;
    Private* d;
};
