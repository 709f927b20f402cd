// On Windows a console's Ctrl-C and Ctrl-Break end the process as the system
// does it; nothing is held.
#include "held_signals.h"

void install_signal_handlers() {}
HeldSignals::HeldSignals() {}
HeldSignals::~HeldSignals() {}
