#pragma once

#include <QByteArray>

// The icon the desktop shows for a program, as PNG bytes in the two sizes the
// process table keeps (16 and 32 pixels). Icons can only be drawn on the GUI
// thread, and every process has the same one, so both are made once there and
// handed out to any thread afterwards.
namespace ExecutableIcon {

constexpr int SmallSize = 16;
constexpr int LargeSize = 32;

// Makes both icons from the icon theme's "application-x-executable", or the
// application's own icon where the theme has none. Call on the GUI thread;
// later calls do nothing. Without a GUI application the icons stay empty.
void prepare();

// The PNG bytes of the small or large icon; empty before prepare(). Any thread.
QByteArray png(bool large);

} // namespace ExecutableIcon
