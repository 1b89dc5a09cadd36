// The end of the session from outside the windows (a signal, the desktop
// logging out): the program ends as "Exit" ends it, whatever the person had
// open at that moment.
#pragma once

namespace ui {

// Closes every popup menu, answers every message box as its Escape key
// would (Cancel, else No, else its only button) and cancels every other
// dialog, then posts CloseDown to the program's first thread (the toolbox,
// which closes the other windows as their own Close or Cancel would).
// Until the program ends, menus and boxes that open meanwhile are answered
// the same way: nobody is left to answer them. Later calls do nothing more.
void end_session();

// True once end_session() was called.
bool session_ending();

}  // namespace ui
