#pragma once
// The firewall exception that lets phones reach the program (and its companion)
// from the network. Where the system has no such firewall interface nothing is
// changed. Each message goes to `say`, one line, UTF-8.

#include <functional>
#include <string>

namespace host
{

class FireWal
{
public:
    // Adds an exception for the program at `path` named `name`, or enables one that
    // exists but is disabled. Nothing is added while the firewall is off. Always 0.
    static int AddProgram(const std::string& name, const std::string& path,
                          const std::function<void(const std::string&)>& say);
};

} // namespace host
