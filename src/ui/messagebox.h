#pragma once
// The program's modal message boxes (no parent; the user sees them over whatever
// is on screen). Every message of the main window uses the title "系统消息".

#include <QString>

void ShowMessage(const QString& title, const QString& text);
// True only when "确定" was clicked; any other way out of the box gives false.
bool AskQuestion(const QString& title, const QString& text);
void ShowInformation(const QString& title, const QString& text);
