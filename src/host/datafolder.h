#pragma once
// Where the program keeps its settings and log when JWSHOW_DATA_DIR does not say
// otherwise: a folder shared by every user of the machine.

#include <string>

namespace host
{
// The machine-wide data folder for the program ("JWShow" inside the platform's
// common application-data folder), UTF-8, without a trailing separator. The folder
// is not created here.
std::string DefaultDataFolder();
} // namespace host
