#include "app/companion.h"

#include "base/jwdebug.h"
#include "base/jwlog.h"

#include <QDebug>
#include <algorithm>

namespace
{
// A replaced process object is released once its own signal has returned.
void releaseLater(QProcess* p)
{
    if (p) {
        p->disconnect();
        p->deleteLater();
    }
}
} // namespace

CompanionProcess::CompanionProcess(QObject* parent)
    : QObject(parent), m_process(nullptr, releaseLater)
{
    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, &CompanionProcess::start);
}

CompanionProcess::~CompanionProcess()
{
    stopForGood();
}

QStringList CompanionProcess::BuildArguments(int rcPort, const QString& code, int port, bool logout)
{
    QStringList args{QStringLiteral("-app_mode"),
                     QStringLiteral("/port"),
                     QString::number(rcPort),
                     QStringLiteral("/auth"),
                     code,
                     QStringLiteral("/msg_port"),
                     QString::number(port)};
    if (logout)
        args << QStringLiteral("/logout");
    return args;
}

QString CompanionProcess::ExecutableName(const char* stem)
{
#ifdef Q_OS_WIN
    return QLatin1String(stem) + QLatin1String(".exe");
#else
    return QLatin1String(stem);
#endif
}

QProcess::ProcessState CompanionProcess::state() const
{
    return m_process ? m_process->state() : QProcess::NotRunning;
}

qint64 CompanionProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

void CompanionProcess::start()
{
    m_restartTimer.stop();
    if (m_ended || m_program.isEmpty())
        return;
    m_arguments = m_makeArguments ? m_makeArguments() : QStringList();
    // The process object that ended is not reused: a new one per start.
    m_process.reset(new QProcess);
    QProcess* p = m_process.get();
    // Its output is never read: sent nowhere, so that it neither fills a pipe nor
    // piles up in our memory.
    p->setStandardOutputFile(QProcess::nullDevice());
    p->setStandardErrorFile(QProcess::nullDevice());
    connect(p, &QProcess::stateChanged, this,
            [this, p](QProcess::ProcessState s) { onStateChanged(p, s); });
    m_runningSince.invalidate();
    p->start(m_program, m_arguments, QIODevice::ReadWrite);
}

void CompanionProcess::onStateChanged(QProcess* process, QProcess::ProcessState s)
{
    if (process != m_process.get())
        return;
    if (s == QProcess::Running)
        m_runningSince.start();
    // Queued: whoever handles the stop (and may start another process or open a
    // message box) never runs inside QProcess's own emission.
    QMetaObject::invokeMethod(
        this, [this, s] { emit stateChanged(s); }, Qt::QueuedConnection);
}

void CompanionProcess::restart(bool promptly)
{
    if (m_ended || m_program.isEmpty())
        return;
    int delay = 0;
    if (promptly || (m_runningSince.isValid() && m_runningSince.elapsed() >= kStableMs)) {
        m_quickStops = 0;
    } else {
        if (m_quickStops > 0) {
            const int doublings = std::min(m_quickStops - 1, 16);
            delay = std::min(kFirstDelayMs << doublings, kMaxDelayMs);
        }
        ++m_quickStops;
    }
    m_restartTimer.start(delay);
}

void CompanionProcess::kill()
{
    if (m_process && m_process->state() != QProcess::NotRunning)
        m_process->kill();
}

void CompanionProcess::stopForGood()
{
    m_ended = true;
    m_restartTimer.stop();
    if (!m_process)
        return;
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        m_process->waitForFinished(2000);
        qCDebug(lcJwShow) << "kill rcServer process";
    }
}
