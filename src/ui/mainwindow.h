#pragma once
// The settings and status window. Worker threads reach it only by emitting its
// msg_* signals, each connected to the slot of the same meaning (GUI thread).

#include <QMainWindow>
#include <QStringList>

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

signals:
    void msg_addUser(QString id, QString name, QString ip);
    void msg_removeUser(QString id);
    void msg_ChangeResolution(ulong pwidth, ulong pheight);
    void msg_ReductionResolution();
    void msg_localIp(QStringList iplist);
    void msg_localIpChanged(QStringList iplist);

    // ... the rest belongs to ui/ (placeholder until the window lands)
};
