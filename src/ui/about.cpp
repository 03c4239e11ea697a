#include "ui/about.h"
#include "ui_about.h"

#include "base/appinfo.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QUrl>

About::About(QWidget* parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    setWindowIcon(QIcon(QStringLiteral(":/jw/icon")));
    setWindowFlags(Qt::Dialog | Qt::WindowCloseButtonHint);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect desk = screen->geometry();
        move((desk.width() - width()) / 2, (desk.height() - height()) / 2);
    }
    ui->labellogo->setPixmap(QPixmap(QStringLiteral(":jw/icon")));
    ui->labelVersion->setText(ui->labelVersion->text() + QLatin1String(jw::kVersion));
    // The visible text is the site's name: the whole address does not fit the line.
    const QString help = QLatin1String(jw::kHelpUrl);
    const QString site = QUrl(help).host();
    ui->label_url->setText(tr("官网：") + QStringLiteral("<a href=\"") + help.toHtmlEscaped() +
                           QStringLiteral("\">") + site.toHtmlEscaped() + QStringLiteral("</a>."));
}

About::~About() = default;

void About::on_pushButton_clicked()
{
    close();
}
