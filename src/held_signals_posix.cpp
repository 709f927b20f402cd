#include <signal.h>

#include <atomic>

#include "held_signals.h"

namespace {

// 0: signals act at once; 1: they wait; 1 + s: signal s came while waiting.
// Any thread may take the signal, so the state changes in single atomic steps.
std::atomic<int> g_state{0};
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

const int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};

void end_as(int signal_number) {
  signal(signal_number, SIG_DFL);
  raise(signal_number);
}

void on_ending_signal(int signal_number) {
  int expected = 1;
  if (g_state.compare_exchange_strong(expected, 1 + signal_number)) return;
  if (expected == 0) end_as(signal_number);  // else one is already waiting
}

}  // namespace

void install_signal_handlers() {
  for (int signal_number : kEndingSignals) {
    struct sigaction action = {};
    if (sigaction(signal_number, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) continue;
    action = {};
    action.sa_handler = on_ending_signal;
    action.sa_flags = SA_RESTART;  // a write it interrupts goes on
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
  }
}

HeldSignals::HeldSignals() {
  g_state.store(1);
}

HeldSignals::~HeldSignals() {
  const int state = g_state.exchange(0);
  if (state > 1) end_as(state - 1);
}
