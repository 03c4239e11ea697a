#pragma once
// The pictures pages uploaded, kept in memory until the show window has fetched
// them: only the newest few, and never more bytes than a bound. Web thread only.

#include <QByteArray>
#include <deque>

namespace web
{

class UploadStore
{
public:
    static constexpr int kMaxKept = 4;
    static constexpr qint64 kMaxKeptBytes = 96LL * 1024 * 1024;

    struct Upload {
        QByteArray name; // 32 hex digits and the extension, e.g. "3f...9c.png"
        QByteArray type; // the content type of the decoded format
        QByteArray bytes;
    };

    // Keeps the picture under a new unguessable name and returns the name. Older
    // pictures go while more than kMaxKept or kMaxKeptBytes are kept (the newest
    // is always kept).
    QByteArray add(const QByteArray& bytes, const QByteArray& format);
    const Upload* find(const QByteArray& name) const;
    qint64 keptBytes() const { return keptBytes_; }
    int count() const { return int(uploads_.size()); }

    // The content type and name ending for a decoded format; empty for formats
    // not served back (anything that could carry script, such as SVG).
    static QByteArray typeOf(const QByteArray& format);

private:
    std::deque<Upload> uploads_; // oldest first
    qint64 keptBytes_ = 0;
};

} // namespace web
