#include "show/vlc/vlcinstance.h"

#include <QByteArrayList>
#include <vector>
#include <vlc/vlc.h>

VlcInstance::VlcInstance(const QStringList& args, QObject* parent) : QObject(parent)
{
    QByteArrayList bytes;
    std::vector<const char*> argv;
    for (const QString& arg : args)
        bytes.append(arg.toLocal8Bit());
    for (const QByteArray& arg : bytes)
        argv.push_back(arg.constData());
    m_core = libvlc_new(int(argv.size()), argv.data());
}

VlcInstance::~VlcInstance()
{
    if (m_core)
        libvlc_release(m_core);
}

QStringList VlcInstance::defaultArgs()
{
    // The file name must not flash over a presentation, and nothing may ask the
    // presenter a question in a dialog of libvlc's own.
    QStringList args{"--no-video-title-show", "--no-interact", "--quiet"};
    args += QString::fromLocal8Bit(qgetenv("JWSHOW_VLC_ARGS")).split(' ', Qt::SkipEmptyParts);
    return args;
}
