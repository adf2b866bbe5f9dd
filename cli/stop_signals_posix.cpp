// Stop signals of quellix-scan (see stop_signals_posix.h).
#include "cli/stop_signals_posix.h"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// The signal that asked for the stop. A second Ctrl-C ends the program at
// once (a person's way out of a wait); a second hang-up or termination
// request does not, as a shell forwards one the kernel also sent.
volatile sig_atomic_t gInterrupted = 0;

void OnInterrupt(int number) { gInterrupted = number; }

// A reader gone from standard output: the writes fail instead, and the run
// still closes its JSON and log. A handler rather than SIG_IGN, which a
// program started from here (the disk-image appliance) would inherit.
void OnBrokenPipe(int) {}

}  // namespace

void CatchSignals() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = OnInterrupt;
  for (int number : {SIGINT, SIGTERM, SIGHUP}) {
    // One ignored already stays so: nohup, or a job the shell put in the background.
    struct sigaction before;
    if (sigaction(number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
    action.sa_flags = SA_RESTART | (number == SIGINT ? SA_RESETHAND : 0);
    sigaction(number, &action, nullptr);
  }
  action.sa_handler = OnBrokenPipe;
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
}

int StopSignalArrived() { return gInterrupted ? 1 : 0; }

void EndBySignal() {
  int number = gInterrupted;
  if (!number) return;
  std::fflush(stdout);
  std::fflush(stderr);
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  action.sa_handler = SIG_DFL;
  sigaction(number, &action, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, number);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(number);
}

