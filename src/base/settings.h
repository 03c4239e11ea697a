#pragma once
// The settings file (app.ini, group "config"), typed, with every default in one
// place. One store per file; GUI thread only.

#include <QSettings>
#include <QString>

struct AppSettings {
    static constexpr int kDefaultPort = 5555;

    int port = kDefaultPort; // "port": text that is not a number reads as 0
    bool runTray = false;    // "runtray": only "1" starts hidden
    bool autoFull = true;    // "autofull": only "1" is on
    bool pairing = false;    // "pairing": only "1" asks TCP logins for the code
    int webPort = 0;         // "webport": 0 while not set (the service port + 2)
    // "screen": the show screen, a screen's name or its position 1, 2, ...; empty
    // (and whatever names no connected screen) is the primary.
    QString screen;
};

class SettingsStore
{
public:
    explicit SettingsStore(const QString& iniPath);

    QString path() const { return settings_.fileName(); }
    // Every setting but autofull. A missing or empty port, runtray or pairing is
    // written with its default first ("5555", "0", "0"), so that the file shows
    // every setting; any other text is kept and read as off. A missing screen is
    // written empty.
    AppSettings load();
    // The same for autofull (default "1"), which start-up reads only once the
    // server listens.
    bool loadAutoFull();

    void setPort(int port);
    void setRunTray(bool on);
    void setAutoFull(bool on);
    void setPairing(bool on);
    void setWebPort(int port);
    int webPort(); // 0 while not set
    void setScreen(const QString& screen);

private:
    QString read(const char* key);
    void write(const char* key, const QString& value);
    // The value, or the default written in its place when it is missing or empty.
    QString readOrWrite(const char* key, const char* fallback);

    QSettings settings_;
};
