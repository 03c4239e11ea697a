#pragma once
// Two stand-in servers inside the benchmark that do the least any server of this
// protocol must do per request: split the stream into objects and send the
// "mode" reply built from the request's id and from. Both share the splitting
// and the reply, so they differ only in the networking underneath:
//   PollFloor - one thread, poll, one send per reply, no Qt (the floor proper);
//               or, as a variant, the replies to one read gathered into one send;
//   QtFloor   - one thread, an event loop with QTcpServer/QTcpSocket and its
//               buffered writes, i.e. what Qt's networking adds per request.
// Qt's buffered writes gather the replies to one read as well, so pipelined
// figures of Qt against poll compare like with like only with the variant.
// The program's figures are divided by PollFloor's from the same run.

#include "protocol/jsonscanner.h"

#include <QByteArray>
#include <QSemaphore>
#include <QThread>

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

namespace bench
{

// The "mode" reply to a request, by hand: no JSON library on the floor.
std::string modeReplyTo(std::string_view request);

// Cuts whole top-level objects out of a byte stream that arrives in pieces.
class ObjectSplitter
{
public:
    template <class OnObject> void feed(const char* p, size_t n, OnObject&& onObject)
    {
        const size_t from = buffer_.size();
        buffer_.append(p, n);
        for (size_t i = from; i < buffer_.size(); ++i) {
            if (!scanner_.insideObject())
                start_ = i; // bytes between objects are skipped, not answered
            if (scanner_.step(buffer_[i]) == JsonObjectScanner::ObjectEnd)
                onObject(std::string_view(buffer_.data() + start_, i + 1 - start_));
        }
        buffer_.erase(0, scanner_.insideObject() ? start_ : buffer_.size());
        start_ = 0;
    }

private:
    std::string buffer_;
    JsonObjectScanner scanner_;
    size_t start_ = 0;
};

class PollFloor
{
public:
    enum Sends { OnePerReply, OnePerRead };
    explicit PollFloor(Sends sends); // listens on 127.0.0.1 at a free port and serves at once
    ~PollFloor();
    PollFloor(const PollFloor&) = delete;
    PollFloor& operator=(const PollFloor&) = delete;
    quint16 port() const { return port_; }

private:
    void serve();

    const Sends sends_;
    std::string greeting_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    quint16 port_ = 0;
    std::thread thread_;
};

class QtFloor : public QThread
{
public:
    QtFloor(); // listens on 127.0.0.1 at a free port and serves at once
    ~QtFloor() override;
    quint16 port() const { return port_; }

protected:
    void run() override;

private:
    QByteArray greeting_;
    QSemaphore listening_;
    std::atomic<quint16> port_{0};
};

} // namespace bench
