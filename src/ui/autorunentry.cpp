#include "ui/autorunentry.h"

#include <QDir>
#include <QFile>

QString autorunEntryPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/autostart/TOVANEL.desktop");
}

QString readAutorunPath()
{
    QFile f(autorunEntryPath());
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    while (!f.atEnd()) {
        QByteArray line = f.readLine();
        if (line.endsWith('\n'))
            line.chop(1);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.startsWith("Exec="))
            return QString::fromUtf8(line.mid(5));
    }
    return QString();
}
