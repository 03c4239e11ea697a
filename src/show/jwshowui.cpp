#include "show/jwshowui.h"

// placeholder until the show window lands
JWShowUi::JWShowUi(QWidget* parent) : QWidget(parent) {}
JWShowUi::~JWShowUi() = default;
void JWShowUi::initShowUi() {}
void JWShowUi::showDefaultImage() {}
void JWShowUi::showui() {}
void JWShowUi::SetImage(QImage) {}
void JWShowUi::addDataToQueue(uint, QString) {}
