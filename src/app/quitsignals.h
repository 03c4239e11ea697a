#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so that a service
// manager or Ctrl+C gets the same orderly shutdown as the quit entry.

#include "host/quitsignal.h"

#include <QObject>
#include <atomic>
#include <functional>
#include <memory>

class QuitSignals : public QObject
{
    Q_OBJECT
public:
    // `atOnce` runs as soon as a request arrives, on a thread of its own, before
    // the GUI thread hears of it: the GUI thread may first have to work off what
    // was queued for it earlier. Only thread-safe calls belong there.
    explicit QuitSignals(std::function<void()> atOnce = {}, QObject* parent = nullptr);
    ~QuitSignals() override;
    bool isActive() const { return m_watch->isActive(); }

signals:
    // Delivered on this object's thread.
    void quitRequested(int signalNumber);

private slots:
    void deliver();

private:
    const std::function<void()> m_atOnce;
    std::atomic<int> m_signal{0}; // the last request not yet delivered
    std::unique_ptr<host::QuitSignalWatch> m_watch;
};
