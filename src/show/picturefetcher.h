#pragma once
// Fetches the pictures the controllers name: one download at a time, each given
// up past its byte bound, when it stalls or at its deadline; only web addresses;
// each body decoded within the decoding bounds for the screen it is shown on.
// It hands on every decoded picture and moves on to the next request. It lives
// on the GUI thread, like the window it serves.

#include <QImage>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSize>
#include <QStringList>
#include <functional>

class QNetworkReply;

class PictureFetcher : public QObject
{
    Q_OBJECT
public:
    static constexpr int kDefaultTransferTimeoutMs = 30000;
    static constexpr int kDefaultDownloadDeadlineMs = 120000;
    // Waiting requests kept at most; beyond it the oldest waiting one goes (the
    // newest picture is the one the presenter wants to see).
    static constexpr int kMaxPendingPictures = 64;
    // How far the network thread may read ahead of the body taken in so far.
    static constexpr qint64 kReadAheadBytes = 1 << 20;

    explicit PictureFetcher(QObject* parent = nullptr);
    ~PictureFetcher() override;

    // The area a picture is decoded for, asked when its body has arrived (by
    // default the primary screen's size).
    void setDecodeArea(std::function<QSize()> area) { m_decodeArea = std::move(area); }
    // A download that stalls this long is given up (tests shorten it).
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }
    // A download still running this long after it started is given up, however
    // steadily it trickles: the queue behind it must not wait for ever.
    void setDownloadDeadline(int ms) { m_downloadDeadlineMs = ms; }

    void fetch(const QString& url);
    // The show has ended: the download under way and the waiting requests go, and
    // nothing of them is handed on, however far they got.
    void dropAll();

    int pending() const { return int(m_queue.size()); }
    // Until the picture of the current download has been handed on.
    bool isFetching() const { return m_download != nullptr; }

signals:
    // A body that is no picture at all comes as a null image: the controller
    // sees that its address was wrong instead of an old picture.
    void pictureReady(const QImage& picture);

private:
    void startNext();
    void guard(QNetworkReply* reply);
    void finished(QNetworkReply* reply);

    QNetworkAccessManager m_network;
    QStringList m_queue;
    // The download whose picture is wanted; any other reply that finishes was
    // given up and brings nothing.
    QNetworkReply* m_download = nullptr;
    QByteArray m_body; // of m_download, as far as it has come
    std::function<QSize()> m_decodeArea;
    int m_transferTimeoutMs = kDefaultTransferTimeoutMs;
    int m_downloadDeadlineMs = kDefaultDownloadDeadlineMs;
};
