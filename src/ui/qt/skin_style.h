// Our skin file's colours as a Qt style sheet for the window and the boxes it owns.
#pragma once

#include <QString>

#include "ui/skin.h"

namespace quarvex::qt {

// Only the colours the skin sets are named; everything else keeps Qt's own look.
QString skinStyleSheet(const Skin& skin);

}  // namespace quarvex::qt
