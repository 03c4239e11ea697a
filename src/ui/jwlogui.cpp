#include "ui/jwlogui.h"

#include <QCloseEvent>

// placeholder until the log window lands
JWLOGUI::JWLOGUI(QWidget* parent) : QDialog(parent), ui(nullptr) {}
JWLOGUI::~JWLOGUI() = default;
QString JWLOGUI::text() const { return {}; }
void JWLOGUI::sl_writTestLog(QString) {}
void JWLOGUI::closeEvent(QCloseEvent* event) { event->ignore(); }
