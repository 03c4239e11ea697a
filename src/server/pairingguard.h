#pragma once
// Who may pair with the program: the six-digit code of this start, offered by a
// page over the web port or, when the setting asks for it, by a phone logging in
// over TCP. One guard serves both doors: a code guessed at one door counts at the
// other. Thread-safe; start-up owns it and it outlives the web thread and the
// dispatcher.
//
// An address that offers wrong codes is locked out for a while, and wrong codes
// from all addresses together pause pairing for everybody: one guesser with many
// addresses gets no more tries than a handful of honest typos.

#include <QHash>
#include <QObject>
#include <QString>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>

class PairingGuard : public QObject
{
    Q_OBJECT
public:
    static constexpr int kMaxFailures = 5;       // wrong codes within the window lock an address
    static constexpr int kMaxFailuresInAll = 20; // more than this from all addresses pause pairing
    static constexpr qint64 kWindowMs = 60000;   // the window, the lock and the pause
    // Addresses remembered at most. One the full table cannot take is refused as
    // locked: forgetting another's record would hand that guesser fresh tries.
    static constexpr int kMaxAddresses = 4096;

    enum class Verdict {
        Paired,    // the right code
        WrongCode, // compared and wrong; counted
        Locked,    // not compared: the address is locked out, or pairing is paused
    };

    // code: this start's six-digit code. lockMs: how long a lock and a pause last
    // and how far back wrong codes count. clock: milliseconds of a monotonic clock
    // (tests pass their own); by default the guard's own steady clock, so every
    // thread reads the same time.
    explicit PairingGuard(const QString& code, qint64 lockMs = kWindowMs,
                          std::function<qint64()> clock = {}, int maxAddresses = kMaxAddresses);

    // Checks a code the address offered and counts a wrong one (any thread). The
    // address is the host alone, an IPv4-mapped one written as IPv4. The right
    // code is the one the guard was made with.
    Verdict offer(const QString& address, const QString& code);
    // Whether a code from the address would be refused unseen: the address is
    // locked out, the table has no room for it, or pairing is paused.
    bool isLocked(const QString& address);

    // How long pairing stays paused; 0 when it is not.
    qint64 pauseLeftMs() const;
    qint64 nowMs() const;

    // Whether a TCP login must carry the code (the "pairing" setting).
    void setTcpCodeRequired(bool on) { tcpCodeRequired_.store(on); }
    bool tcpCodeRequired() const { return tcpCodeRequired_.load(); }

signals:
    // Pairing was paused (emitted on the thread that offered the code, with no
    // lock held; receivers on the GUI thread get it queued).
    void paused();

private:
    struct Record {
        std::deque<qint64> failures; // times of the recent wrong codes
        qint64 lockedUntil = 0;
    };
    // Callers hold lock_.
    bool refusedUnseen(const QString& address, qint64 now);
    bool roomFor(qint64 now); // for an address not in the table
    void forgetOld(qint64 now);
    void dropOld(std::deque<qint64>& times, qint64 now) const;

    const QString code_;
    const qint64 lockMs_;
    const std::function<qint64()> clock_;
    const int maxAddresses_;
    const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    std::atomic<bool> tcpCodeRequired_{false};

    mutable std::mutex lock_; // guards everything below
    QHash<QString, Record> records_;
    std::deque<qint64> failuresInAll_;
    qint64 pausedUntil_ = 0;
    qint64 nextForget_ = 0; // no record can be forgotten before this
};
