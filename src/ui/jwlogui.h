#pragma once
// The debug log window: a running, time-stamped list of traffic and connection
// events. Worker threads emit msg_writelog; the window appends on the GUI thread.

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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    std::unique_ptr<Ui::JWLOGUI> ui;
};
