#include "host/screenchoice.h"

#include <algorithm>
#include <cctype>

namespace
{

std::string trimmed(const std::string& s)
{
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto first = std::find_if_not(s.begin(), s.end(), blank);
    const auto last = std::find_if_not(s.rbegin(), s.rend(), blank).base();
    return first < last ? std::string(first, last) : std::string();
}

bool sameIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

namespace host
{

int ChooseScreen(const std::string& setting, const std::vector<std::string>& names)
{
    const std::string wanted = trimmed(setting);
    if (wanted.empty())
        return -1;
    const auto exact = std::find(names.begin(), names.end(), wanted);
    if (exact != names.end())
        return int(exact - names.begin());
    const auto loose = std::find_if(names.begin(), names.end(), [&wanted](const std::string& n) {
        return sameIgnoringCase(n, wanted);
    });
    if (loose != names.end())
        return int(loose - names.begin());
    // Digits only: "+1", "-1" or "1.0" name no position. More digits than any list
    // of screens could need would overflow.
    if (wanted.size() > 4 || !std::all_of(wanted.begin(), wanted.end(),
                                          [](unsigned char c) { return std::isdigit(c) != 0; }))
        return -1;
    const int position = std::stoi(wanted);
    return position >= 1 && position <= int(names.size()) ? position - 1 : -1;
}

} // namespace host
