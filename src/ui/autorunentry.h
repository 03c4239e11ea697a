#pragma once
// The autorun entry as the settings window sees it: the program path it starts,
// or an empty text when there is none.

#include <QString>

// ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/TOVANEL.desktop
QString autorunEntryPath();
// The text after "Exec=" in the entry's "Exec=" line, exactly as written (a
// switched-off entry holds a single blank); empty when the file or line is missing.
QString readAutorunPath();
