#pragma once
// Answers the controllers' file commands. Nothing on disk is listed, opened or
// closed: the list is a fixed placeholder and open and close always succeed.

#include <QString>

class jwFile
{
public:
    static jwFile* GetInstance();

    // Sends the "file.list" reply; always returns 0.
    int GetFileList(const QString& id, unsigned int socket);
    void OpenFile(const QString& path, const QString& id, unsigned int socket);
    void CloseFile(const QString& path, const QString& id, unsigned int socket);

    // The compact "file.list" reply for a request id (what GetFileList sends).
    static QString FileListReply(const QString& id);

private:
    jwFile() = default;
};
