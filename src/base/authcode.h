#pragma once

#include <QString>

// A new six-digit code for the companion, 600000..999998. Drawn from the system's
// random source: a code derived from the clock could be guessed by anybody who
// knows roughly when the program started.
QString MakeAuthCode();
