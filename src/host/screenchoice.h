#pragma once
// Which of the connected screens the show uses, from the setting that names it.

#include <string>
#include <vector>

namespace host
{
// setting: a screen's name as the system reports it ("HDMI-1", "\\.\DISPLAY2"),
// else its position 1, 2, ... in the system's order of names. The index into
// names, or -1 for the primary screen: an empty setting, a name that is not
// connected, a position beyond the list. A name wins over a position, so a screen
// named "2" is found by its name. Blanks around the setting do not count, nor
// does the letter case of a name that matches no name exactly.
int ChooseScreen(const std::string& setting, const std::vector<std::string>& names);
} // namespace host
