// The settings dialog: a numbered text menu on the controlling terminal.
#ifndef VIDMOTE_SETTINGS_DIALOG_H
#define VIDMOTE_SETTINGS_DIALOG_H

#include "vidmote.h"

namespace vidmote {

// Runs on the terminal (/dev/tty; on Windows the console, CONIN$ and
// CONOUT$), never on stdin/stdout, which belong to the program.
// False at once when there is no controlling terminal; true once the user
// is done (empty line, 0, "done") or the terminal's input ends. The
// sources are listed afresh as it opens; what it changed is saved as it
// closes.
bool run_settings_dialog(Vidmote& plugin);

}  // namespace vidmote

#endif  // VIDMOTE_SETTINGS_DIALOG_H
