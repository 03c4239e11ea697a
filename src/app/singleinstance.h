#pragma once
// Tells the first copy of the program from later ones and lets a later copy ask
// the first to show itself. QLockFile decides who is first (a lock left by a
// killed copy is recognised as stale); a local socket carries the message.

#include <QLockFile>
#include <QObject>
#include <QString>
#include <memory>

class QLocalServer;

class SingleInstance : public QObject
{
    Q_OBJECT
public:
    // `identity` tells programs apart: copies with the same identity exclude each
    // other. Use defaultIdentity() for the program.
    explicit SingleInstance(const QString& identity, QObject* parent = nullptr);
    ~SingleInstance() override;

    // The data folder, links resolved (it is created when missing): one running
    // copy per data folder and user, wherever its executable lies and however the
    // folder is reached; isolated instances (tests) get a folder of their own.
    static QString defaultIdentity();
    // A short key derived from an identity, usable as a file or socket name.
    static QString keyFor(const QString& identity);

    // True when another copy with this identity runs. The first call of the first
    // copy takes the lock and starts listening for messages.
    bool isRunning();
    // Sends `message` to the running copy; true once it has confirmed receipt.
    bool sendMessage(const QString& message, int timeoutMs);

    QString key() const { return m_key; }

signals:
    void messageReceived(QString message);

private:
    void onNewConnection();

    QString m_key;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer* m_server = nullptr; // child
    bool m_decided = false;
    bool m_running = false;
};
