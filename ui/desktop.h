// The desktop side of the program: the usage box and the main window on Qt.
#pragma once

#include "app/bricola_app.h"

namespace bricola {

// A display can be reached: an X11 or Wayland display, or a Qt platform named
// in QT_QPA_PLATFORM (offscreen, vnc, ...).
bool DisplayDisponibile();

// The application object is made on first use and lives until the process ends.
SDesktop DesktopQt(int& argc, char** argv);

}  // namespace bricola
