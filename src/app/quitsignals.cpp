#include "app/quitsignals.h"

QuitSignals::QuitSignals(std::function<void()> atOnce, QObject* parent)
    : QObject(parent), m_atOnce(std::move(atOnce))
{
    m_watch = std::make_unique<host::QuitSignalWatch>([this](int signalNumber) {
        if (m_atOnce)
            m_atOnce();
        // The number crosses to the GUI thread through an atomic; the queued call
        // carries nothing (what Qt's event queue carries, a thread checker cannot
        // see guarded).
        m_signal = signalNumber;
        QMetaObject::invokeMethod(this, "deliver", Qt::QueuedConnection);
    });
}

void QuitSignals::deliver()
{
    if (const int signalNumber = m_signal.exchange(0))
        emit quitRequested(signalNumber);
}

// The watch ends (its handler with it) before anything it reaches goes.
QuitSignals::~QuitSignals()
{
    m_watch.reset();
}
