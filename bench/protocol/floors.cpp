#include "floors.h"

#include "jwinstance.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace bench
{

namespace
{
// The value of a string field, unescaped as it stands: the requests of this
// benchmark carry no escapes, and a floor must not pay for a JSON library.
std::string_view stringField(std::string_view object, std::string_view key)
{
    for (size_t at = object.find(key); at != std::string_view::npos;
         at = object.find(key, at + 1)) {
        size_t i = at + key.size();
        if (at == 0 || object[at - 1] != '"' || i >= object.size() || object[i] != '"')
            continue;
        i = object.find_first_not_of(" \t\r\n", i + 1);
        if (i == std::string_view::npos || object[i] != ':')
            continue;
        i = object.find_first_not_of(" \t\r\n", i + 1);
        if (i == std::string_view::npos || object[i] != '"')
            continue;
        const size_t end = object.find('"', i + 1);
        if (end != std::string_view::npos)
            return object.substr(i + 1, end - i - 1);
    }
    return {};
}

bool sendAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t sent = ::send(fd, p, n, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        n -= size_t(sent);
    }
    return true;
}
} // namespace

std::string modeReplyTo(std::string_view request)
{
    std::string reply = R"({"desc":"","from":"jwshow","id":")";
    reply += stringField(request, "id");
    reply += R"(","ret":"0","to":")";
    reply += stringField(request, "from");
    reply += R"(","type":"mode"})";
    return reply;
}

PollFloor::PollFloor(Sends sends)
    : sends_(sends), greeting_(jwtest::expectedGreeting().toStdString())
{
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::listen(listenFd_, 64) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return; // port() stays 0
    port_ = ntohs(a.sin_port);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { serve(); });
}

PollFloor::~PollFloor()
{
    if (thread_.joinable()) {
        const quint64 one = 1;
        (void)!::write(wakeFd_, &one, sizeof one);
        thread_.join();
    }
    ::close(wakeFd_);
    ::close(listenFd_);
}

void PollFloor::serve()
{
    struct Connection {
        int fd;
        ObjectSplitter splitter;
    };
    // fds[0] wakes us to quit, fds[1] is the listener, fds[k + 2] is conns[k].
    std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    std::vector<std::unique_ptr<Connection>> conns;
    char buf[65536];
    std::string replies; // of one read, when they leave together
    for (;;) {
        if (::poll(fds.data(), nfds_t(fds.size()), -1) < 0 && errno != EINTR)
            break;
        if (fds[0].revents)
            break;
        for (size_t k = 0; k < conns.size(); ++k) {
            if (!fds[k + 2].revents)
                continue;
            Connection& c = *conns[k];
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (n > 0) {
                // A blocking send is enough: the benchmark's clients always read.
                replies.clear();
                c.splitter.feed(buf, size_t(n), [&](std::string_view request) {
                    if (sends_ == OnePerRead) {
                        replies += modeReplyTo(request);
                        return;
                    }
                    const std::string reply = modeReplyTo(request);
                    sendAll(c.fd, reply.data(), reply.size());
                });
                sendAll(c.fd, replies.data(), replies.size());
                continue;
            }
            ::close(c.fd);
            conns[k] = std::move(conns.back());
            conns.pop_back();
            fds[k + 2] = fds.back();
            fds.pop_back();
            --k; // the moved connection has not been looked at yet
        }
        if (fds[1].revents) {
            for (int fd; (fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                sendAll(fd, greeting_.data(), greeting_.size());
                conns.push_back(std::make_unique<Connection>(Connection{fd, {}}));
                fds.push_back({fd, POLLIN, 0});
            }
        }
    }
    for (auto& c : conns)
        ::close(c->fd);
}

QtFloor::QtFloor() : greeting_(jwtest::expectedGreeting())
{
    start();
    listening_.acquire();
}

QtFloor::~QtFloor()
{
    quit();
    wait();
}

void QtFloor::run()
{
    QTcpServer server;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [this, &server] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            s->write(greeting_);
            auto splitter = std::make_shared<ObjectSplitter>();
            QObject::connect(s, &QTcpSocket::readyRead, s, [s, splitter] {
                const QByteArray in = s->readAll();
                splitter->feed(in.constData(), size_t(in.size()), [s](std::string_view request) {
                    const std::string reply = modeReplyTo(request);
                    s->write(reply.data(), qint64(reply.size()));
                });
            });
            QObject::connect(s, &QTcpSocket::disconnected, s, &QObject::deleteLater);
        }
    });
    if (server.listen(QHostAddress::LocalHost, 0))
        port_ = server.serverPort();
    listening_.release();
    if (port_ != 0)
        exec();
}

} // namespace bench
