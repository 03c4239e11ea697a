#include "ui/jwlogui.h"
#include "ui_jwlogui.h"

#include "base/jwlog.h"

#include <QCloseEvent>
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
    if (!g_debugMode)
        return;
    // "ms" repeats minute and second without leading zeros; the readers of this
    // window know the stamp in this shape from the log file.
    ui->textEditLog->append(QTime::currentTime().toString(QStringLiteral("hh:mm:ss:ms:")) + test);
}

// The window lives as long as the program; its close button does nothing.
void JWLOGUI::closeEvent(QCloseEvent* event)
{
    event->ignore();
}
