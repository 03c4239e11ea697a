#pragma once
// Other processes of the system: the word size of the system, a running process
// found by its executable's name, and a forced end.

#include <vector>

namespace host
{

// 64 on a 64-bit system (x86-64, ARM64, IA-64), else 32.
int GetSystemBits();

// The first running process whose executable name equals `name`, ignoring case;
// its id goes to *pid, which stays untouched when nothing matches. With
// `unlessChildOf`, a process whose parent runs an executable of that name is
// passed over: it belongs to another running copy and is not left over.
bool FindProcessByName(const char* name, unsigned long* pid, const char* unlessChildOf = nullptr);
// Every such process, in the same order.
std::vector<unsigned long> FindProcessesByName(const char* name,
                                               const char* unlessChildOf = nullptr);

// Ends the process at once (the forced end of "taskkill /f"). False when there is
// no such process or it may not be ended.
bool KillProcess(unsigned long pid);

} // namespace host
