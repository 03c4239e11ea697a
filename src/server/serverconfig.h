#pragma once
// What the control server is built from: start-up makes it once and hands it in.

#include <QString>

class PairingGuard;
class ShowImageRect;

struct ServerConfig {
    QString hostName; // sent in the greeting
    QString code;     // this start's six-digit code: the login reply's token
    // Asked for a TCP login when it requires the code; none: no code is required.
    PairingGuard* pairing = nullptr;
    // Where the shown picture lies, to map the pointer and the boards' points;
    // none: they map onto an empty rectangle.
    const ShowImageRect* picture = nullptr;
};
