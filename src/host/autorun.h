#pragma once
// The entry that starts the program when the user logs in. Its text is the
// program's path when autorun is on and a single blank when it is off; the entry
// itself is never removed. Texts are UTF-8.

#include <string>

namespace host
{

// The text of the entry; "" when there is none.
std::string ReadAutorunEntry();
// Writes the entry (creating what is missing). False when it could not be written.
bool WriteAutorunEntry(const std::string& text);
// Where the entry lives, for messages and tests.
std::string AutorunEntryLocation();

} // namespace host
