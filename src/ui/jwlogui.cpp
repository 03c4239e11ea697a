#include "ui/jwlogui.h"
#include "ui_jwlogui.h"

#include "base/jwlog.h"

#include <QCloseEvent>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTime>

JWLOGUI::JWLOGUI(QWidget* parent) : QDialog(parent), ui(new Ui::JWLOGUI)
{
    ui->setupUi(this);
    // A debug session may run for days; the oldest lines go before memory and
    // every append's layout grow with them.
    ui->textEditLog->document()->setMaximumBlockCount(kMaxLines);
    setWindowFlags(Qt::Window | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint);
    connect(this, &JWLOGUI::msg_writelog, this, &JWLOGUI::sl_writTestLog);
    setWindowTitle(QStringLiteral("logger"));
}

JWLOGUI::~JWLOGUI() = default;

QString JWLOGUI::text() const
{
    return ui->textEditLog->toPlainText();
}

void JWLOGUI::sl_writTestLog(QString test)
{
    appendLines(QStringList{test});
}

void JWLOGUI::appendLines(const QStringList& lines)
{
    if (!g_debugMode || lines.isEmpty())
        return;
    // "ms" repeats minute and second without leading zeros; the readers of this
    // window know the stamp in this shape from the log file.
    const QString stamp = QTime::currentTime().toString(QStringLiteral("hh:mm:ss:ms:"));
    const int first = qMax(0, int(lines.size()) - kMaxLines);
    QString text;
    for (int i = first; i < lines.size(); ++i) {
        if (i > first)
            text += QLatin1Char('\n');
        text += stamp;
        text += lines.at(i);
    }
    // Plain text whatever it looks like: a packet is no markup of ours. Each line
    // break becomes a paragraph, and the document drops its oldest paragraphs
    // past the cap in one go when the edit ends.
    QScrollBar* bar = ui->textEditLog->verticalScrollBar();
    const bool followEnd = bar->value() >= bar->maximum();
    QTextDocument* document = ui->textEditLog->document();
    QTextCursor cursor(document);
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    if (!document->isEmpty())
        cursor.insertBlock();
    cursor.insertText(text);
    cursor.endEditBlock();
    if (followEnd)
        bar->setValue(bar->maximum());
}

// The window lives as long as the program; its close button does nothing.
void JWLOGUI::closeEvent(QCloseEvent* event)
{
    event->ignore();
}
