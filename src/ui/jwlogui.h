#pragma once
// The debug log window: a running, time-stamped list of traffic and connection
// events. Worker threads hand their lines to the log feed; the window takes them
// in batches on the GUI thread (msg_writelog still appends a single line).

#include "base/jwlog.h"

#include <QDialog>
#include <memory>

namespace Ui
{
class JWLOGUI;
}

class JWLOGUI : public QDialog
{
    Q_OBJECT
public:
    explicit JWLOGUI(QWidget* parent = nullptr);
    ~JWLOGUI() override;

    // The newest are kept; as many as may wait for the window in the log feed.
    static constexpr int kMaxLines = LogWindowFeed::kMaxLines;

    QString text() const; // the whole log text (tests)

signals:
    void msg_writelog(QString text);

public slots:
    void sl_writTestLog(QString test);
    // Appends the lines, each under the same stamp, as one edit of the text: a
    // flood of packets then costs one layout per batch instead of one per line.
    // Of a batch longer than the window keeps, only its newest lines go in.
    void appendLines(const QStringList& lines);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::JWLOGUI> ui;
};
