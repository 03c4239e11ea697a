#pragma once
// How many slide keys a controller may send: at most kKeys in any kWindowMs. A
// presenter never needs more, and a phone (or anyone logged in) cannot type into
// whatever program is in front faster than that. Dispatcher thread only.

#include <QHash>
#include <QString>
#include <array>

class KeyRate
{
public:
    static constexpr int kKeys = 20;
    static constexpr qint64 kWindowMs = 1000;

    // Whether the controller may send a key at nowMs (a steady clock's
    // milliseconds); a key it may send is counted.
    bool admit(const QString& id, qint64 nowMs);
    // The controller has left: its count goes with it.
    void forget(const QString& id) { recent_.remove(id); }

private:
    // The times of its last kKeys keys, a ring: next is the oldest once full.
    struct Recent {
        std::array<qint64, kKeys> at{};
        int next = 0;
        int count = 0;
    };
    QHash<QString, Recent> recent_;
};
