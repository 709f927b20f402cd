// The signals that end a run (SIGINT, SIGTERM, SIGHUP) wait while a
// capture's files are written, so that no file is left partial: the capture
// completes its files, then the signal takes effect as it would have.
#ifndef HELD_SIGNALS_H
#define HELD_SIGNALS_H

// Installs the handlers, once, before the first capture. A signal the
// program was started with ignored (nohup) stays ignored.
void install_signal_handlers();

// While one lives, those signals wait; its end delivers one that came.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;
};

#endif  // HELD_SIGNALS_H
