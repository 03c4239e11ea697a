#include "base/settings.h"

#include "protocol/protocol.h"

namespace
{
QString onOff(bool on)
{
    return on ? QStringLiteral("1") : QStringLiteral("0");
}
} // namespace

SettingsStore::SettingsStore(const QString& iniPath) : settings_(iniPath, QSettings::IniFormat) {}

QString SettingsStore::read(const char* key)
{
    return settings_.value(QLatin1String(proto::kConfig) + '/' + QLatin1String(key)).toString();
}

void SettingsStore::write(const char* key, const QString& value)
{
    settings_.setValue(QLatin1String(proto::kConfig) + '/' + QLatin1String(key), value);
    settings_.sync();
}

QString SettingsStore::readOrWrite(const char* key, const char* fallback)
{
    QString value = read(key);
    if (value.isEmpty()) {
        value = QLatin1String(fallback);
        write(key, value);
    }
    return value;
}

AppSettings SettingsStore::load()
{
    // Read again from the file: another copy of the program (an older one, a
    // test) may have written it since.
    settings_.sync();
    AppSettings s;
    s.runTray = readOrWrite(proto::kCfgRunTray, "0") == QLatin1String("1");
    s.port = readOrWrite(proto::kCfgPort, "5555").toInt(); // not a number: 0
    s.autoFull = false;
    s.pairing = readOrWrite(proto::kCfgPairing, "0") == QLatin1String("1");
    s.webPort = webPort();
    const QString screenKey =
        QLatin1String(proto::kConfig) + '/' + QLatin1String(proto::kCfgScreen);
    if (!settings_.contains(screenKey))
        write(proto::kCfgScreen, QString());
    s.screen = read(proto::kCfgScreen).trimmed();
    return s;
}

bool SettingsStore::loadAutoFull()
{
    return readOrWrite(proto::kCfgAutoFull, "1") == QLatin1String("1");
}

void SettingsStore::setPort(int port)
{
    write(proto::kCfgPort, QString::number(port));
}

void SettingsStore::setRunTray(bool on)
{
    write(proto::kCfgRunTray, onOff(on));
}

void SettingsStore::setAutoFull(bool on)
{
    write(proto::kCfgAutoFull, onOff(on));
}

void SettingsStore::setPairing(bool on)
{
    write(proto::kCfgPairing, onOff(on));
}

void SettingsStore::setWebPort(int port)
{
    write(proto::kCfgWebPort, QString::number(port));
}

int SettingsStore::webPort()
{
    return read(proto::kCfgWebPort).toInt();
}

void SettingsStore::setScreen(const QString& screen)
{
    write(proto::kCfgScreen, screen);
}
