#pragma once
// One libvlc instance; every media and player is made from one.

#include <QObject>
#include <QStringList>

struct libvlc_instance_t;

class VlcInstance : public QObject
{
    Q_OBJECT
public:
    explicit VlcInstance(const QStringList& args, QObject* parent = nullptr);
    ~VlcInstance() override;

    // Our defaults, then the words of $JWSHOW_VLC_ARGS (tests pass --aout=adummy there).
    static QStringList defaultArgs();

    bool isValid() const { return m_core != nullptr; }
    libvlc_instance_t* core() const { return m_core; }

private:
    libvlc_instance_t* m_core = nullptr;
};
