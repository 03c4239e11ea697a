#include "show/vlc/vlcmedia.h"

#include "show/vlc/vlcinstance.h"

#include <QDir>
#include <vlc/vlc.h>

VlcMedia::VlcMedia(const QString& location, bool localFile, VlcInstance* instance, QObject* parent)
    : QObject(parent), m_location(location)
{
    if (!instance || !instance->isValid())
        return;
    if (localFile)
        m_core = libvlc_media_new_path(instance->core(),
                                       QDir::toNativeSeparators(location).toUtf8().constData());
    else
        m_core = libvlc_media_new_location(instance->core(), location.toUtf8().constData());
}

VlcMedia::~VlcMedia()
{
    // A player still holding this media keeps its own reference.
    if (m_core)
        libvlc_media_release(m_core);
}
