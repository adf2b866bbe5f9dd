// How quellix-scan hears that it is to stop: Ctrl-C, a termination request
// or a hang-up (a dropped ssh session) ends the walk after the current file;
// the summary and the records still come, then the program ends by that
// signal, as the shell expects. POSIX.
#pragma once

// Installs the handlers (a signal ignored already, as under nohup, stays so).
void CatchSignals();
// 1 once a stop signal arrived.
int StopSignalArrived();
// After the run: ends the program by the signal that stopped it, if any.
void EndBySignal();
