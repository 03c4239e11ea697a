#pragma once
// Who may pair with the program: the six-digit code of this start, and a lock on
// an address that keeps guessing it. Web thread only.

#include <QHash>
#include <QString>
#include <deque>

namespace web
{

class PairingGuard
{
public:
    static constexpr int kMaxFailures = 5;     // wrong codes within the window lock
    static constexpr qint64 kWindowMs = 60000; // ... and for this long
    // Addresses remembered at most; a flood of fresh addresses forgets the
    // oldest first, never a locked one before its time.
    static constexpr int kMaxAddresses = 4096;

    // lockMs: how long a lock lasts and how far back failures count (tests make
    // it short through JWSHOW_WEB_LOCKOUT_MS).
    explicit PairingGuard(qint64 lockMs = kWindowMs) : lockMs_(lockMs) {}

    bool isLocked(const QString& address, qint64 nowMs);
    // Checks a code the address offered; a wrong one counts against it.
    bool check(const QString& address, const QString& code, qint64 nowMs);

private:
    struct Record {
        std::deque<qint64> failures; // times of the recent wrong codes
        qint64 lockedUntil = 0;
    };
    void forgetOld(qint64 nowMs);

    qint64 lockMs_;
    QHash<QString, Record> records_;
};

} // namespace web
