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

// The program the entry names: `launcher` when it leads to the very file `program`
// (an installed copy runs from a private folder and is started through its link in
// the system's program folder: the command users know, valid whatever a later
// package does with that folder), else `program` itself.
std::string AutorunProgram(const std::string& program, const std::string& launcher);

} // namespace host
