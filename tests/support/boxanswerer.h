#pragma once
// While it lives, answers every modal message box with its first button ("确定"),
// noting its text; `onFirst` runs right after the first answer.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace jwtest
{

class BoxAnswerer
{
public:
    explicit BoxAnswerer(std::function<void()> onFirst = {}) : onFirst_(std::move(onFirst))
    {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (!box)
                return;
            texts << box->text();
            box->buttons().first()->click();
            if (onFirst_ && texts.size() == 1)
                onFirst_();
        });
        timer_.start(20);
    }
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    QStringList texts; // in the order answered

private:
    std::function<void()> onFirst_;
    QTimer timer_;
};

} // namespace jwtest
