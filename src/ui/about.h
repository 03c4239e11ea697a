#pragma once
// The About dialog: the program's icon, name, version and web page. The main
// window keeps one and shows it, non-modal, as often as asked.

#include <QDialog>
#include <memory>

namespace Ui
{
class About;
}

class About : public QDialog
{
    Q_OBJECT
public:
    explicit About(QWidget* parent = nullptr);
    ~About() override;

private slots:
    void on_pushButton_clicked();

private:
    std::unique_ptr<Ui::About> ui;
};
