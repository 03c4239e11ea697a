#include "ui/messagebox.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace
{

QPushButton* addActionButton(QMessageBox& box, const QString& text)
{
    return box.addButton(text, QMessageBox::ActionRole);
}

void showWithOk(const QString& title, const QString& text, QMessageBox::Icon icon)
{
    QMessageBox box;
    box.setWindowTitle(title);
    addActionButton(box, QCoreApplication::translate("MessageBox", "确定"));
    box.setIcon(icon);
    box.setText(text);
    box.exec();
}

} // namespace

void ShowMessage(const QString& title, const QString& text)
{
    showWithOk(title, text, QMessageBox::Question);
}

bool AskQuestion(const QString& title, const QString& text)
{
    QMessageBox box;
    box.setWindowTitle(title);
    QPushButton* ok = addActionButton(box, QCoreApplication::translate("MessageBox", "确定"));
    // With two action-role buttons Qt finds no escape button and would refuse the
    // window's close button and Esc; both mean "no" here.
    box.setEscapeButton(addActionButton(box, QCoreApplication::translate("MessageBox", "取消")));
    box.setIcon(QMessageBox::Question);
    box.setText(text);
    box.exec();
    return box.clickedButton() == ok;
}

void ShowInformation(const QString& title, const QString& text)
{
    showWithOk(title, text, QMessageBox::Information);
}
