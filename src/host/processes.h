#pragma once
// Other processes of the system: the word size of the system, a running process
// found by its executable's name, and a forced end.

#include <vector>

namespace host
{

// 64 on a 64-bit system (x86-64, ARM64, IA-64), else 32.
int GetSystemBits();

// Every running process whose executable name equals `name`, ignoring case, in
// the order the system lists them. With `unlessChildOf`, a process whose parent
// runs an executable of that name is passed over: it belongs to another running
// copy and is not left over.
std::vector<unsigned long> FindProcessesByName(const char* name,
                                               const char* unlessChildOf = nullptr);
// The first of them; its id goes to *pid, which stays untouched when none matches.
inline bool FindProcessByName(const char* name, unsigned long* pid,
                              const char* unlessChildOf = nullptr)
{
    const std::vector<unsigned long> found = FindProcessesByName(name, unlessChildOf);
    if (!found.empty() && pid)
        *pid = found.front();
    return !found.empty();
}

// Ends the process at once (the forced end of "taskkill /f"). False when there is
// no such process or it may not be ended.
bool KillProcess(unsigned long pid);

} // namespace host
