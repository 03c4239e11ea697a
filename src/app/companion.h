#pragma once
// The companion server: a separate program started beside this one with the ports
// and the code on its command line, started again whenever it stops, and killed
// at quit. The application owns one and decides, on each of its state changes,
// what a stop means (a port change re-binds the server first).

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class CompanionProcess : public QObject
{
    Q_OBJECT
public:
    // A companion that stops again within kStableMs of reaching Running waits
    // before its next start: kFirstDelayMs, doubling up to kMaxDelayMs.
    static constexpr int kStableMs = 60000;
    static constexpr int kFirstDelayMs = 500;
    static constexpr int kMaxDelayMs = 30000;

    explicit CompanionProcess(QObject* parent = nullptr);
    ~CompanionProcess() override; // kills a running companion

    // The command line for these ports and code:
    // -app_mode /port <rc port> /auth <code> /msg_port <port> [/logout]
    static QStringList BuildArguments(int rcPort, const QString& code, int port, bool logout);
    // The executable's file name for a stem such as "JWRCServer_x64": the
    // platform's program suffix added.
    static QString ExecutableName(const char* stem);

    // The executable every start uses; an empty path never starts anything.
    void setProgram(const QString& path) { m_program = path; }
    // Gives each start its command line, made from the values of that moment.
    void setArguments(std::function<QStringList()> make) { m_makeArguments = std::move(make); }
    QString program() const { return m_program; }
    QStringList arguments() const { return m_arguments; }
    QProcess::ProcessState state() const;
    qint64 processId() const;

    // Starts a new process now (arguments rebuilt).
    void start();
    // Starts one after the delay its recent failures call for; `promptly` starts it
    // at once and forgets them (a stop the program itself asked for). Never starts
    // inside the caller, so never inside the state change that reported the stop.
    void restart(bool promptly);
    // Kills a running companion; its stop is reported like any other.
    void kill();
    // The end: no more restarts, the companion killed and waited for (briefly).
    void stopForGood();

signals:
    // The current process's state changes, always delivered queued.
    void stateChanged(QProcess::ProcessState state);

private:
    void onStateChanged(QProcess* process, QProcess::ProcessState state);

    QString m_program;
    std::function<QStringList()> m_makeArguments;
    QStringList m_arguments;
    std::unique_ptr<QProcess, void (*)(QProcess*)> m_process;
    QTimer m_restartTimer;
    QElapsedTimer m_runningSince; // valid while the current one is (or was) Running
    int m_quickStops = 0;
    bool m_ended = false;
};
