// restore and restore --list of both console scanners: the quarantine's
// entries, one row each, then the totals. Platform-neutral.
#pragma once
#include "cli/console_state.h"

// The exit status.
int RunRestore(ConsoleDriver* driver, int argc, const char* const* argv);
