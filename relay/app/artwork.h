// The relay's pictures, drawn in code: application icon 128, link icons 140 (down) and 141 (up),
// the dialog's bitmap 158 and the about box's bitmaps 151 and 136.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace relay {

QIcon ApplicationIcon();            // 128
QPixmap LinkIcon(bool up);          // 140 / 141, 32 x 32
QPixmap RobotBadge(int size);       // 158 and 151
QPixmap AboutBanner(int w, int h);  // 136

}  // namespace relay
