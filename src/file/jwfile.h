#pragma once
// Answers the controllers' file commands. Nothing on disk is listed, opened or
// closed: the list is a fixed placeholder and open and close always succeed.
// Each operation returns the reply text; the caller sends it.

#include "protocol/jwmess.h"

#include <QString>

class jwFile
{
public:
    static QString GetFileList(const QString& id);
    static QString OpenFile(const QString& path, const QString& id);
    static QString CloseFile(const QString& path, const QString& id);
};
