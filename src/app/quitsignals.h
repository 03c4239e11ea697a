#pragma once
// Turns SIGTERM and SIGINT into a Qt signal on the GUI thread, so that a service
// manager or Ctrl+C gets the same orderly shutdown as the quit entry.

#include <QObject>

class QSocketNotifier;

class QuitSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers once per process; false when that is not possible.
    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;
    bool isActive() const { return m_notifier != nullptr; }

signals:
    void quitRequested(int signalNumber);

private:
    void onReadable();
    QSocketNotifier* m_notifier = nullptr; // child
};
