#include "app/quitsignals.h"

QuitSignals::QuitSignals(std::function<void()> atOnce, QObject* parent)
    : QObject(parent), m_atOnce(std::move(atOnce))
{
    m_watch = std::make_unique<host::QuitSignalWatch>([this](int signalNumber) {
        if (m_atOnce)
            m_atOnce();
        QMetaObject::invokeMethod(
            this, [this, signalNumber] { emit quitRequested(signalNumber); }, Qt::QueuedConnection);
    });
}

// The watch ends (its handler with it) before anything it reaches goes.
QuitSignals::~QuitSignals()
{
    m_watch.reset();
}
