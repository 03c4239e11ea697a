#pragma once
// Something to play: a local file or an address libvlc opens itself.

#include <QObject>
#include <QString>

class VlcInstance;
struct libvlc_media_t;

class VlcMedia : public QObject
{
    Q_OBJECT
public:
    // With localFile false the address is always taken as a location (http://,
    // file://, ...), never as a path, whatever it looks like.
    VlcMedia(const QString& location, bool localFile, VlcInstance* instance,
             QObject* parent = nullptr);
    ~VlcMedia() override;

    libvlc_media_t* core() const { return m_core; }
    QString location() const { return m_location; }

private:
    QString m_location;
    libvlc_media_t* m_core = nullptr;
};
