// Interruption of the program by SIGINT or SIGTERM. The handler only notes
// the signal (a lock-free atomic, safe in a signal handler); whoever runs a
// job looks at it between steps and stops the job through its own stop step.
// A second signal ends the process at once, by that signal.
#pragma once

namespace bricola {

// Installs the handlers of SIGINT and SIGTERM. false when the system refuses.
bool InstallaGestoreInterruzione();
// The signal that asked for the interruption; 0 while none came.
int SegnaleInterruzione();
// Notes an interruption as the handler does (tests, and callers that stop on
// other grounds).
void NotaInterruzione(int segnale);
// Forgets the noted interruption.
void AzzeraInterruzione();
// "SIGINT", "SIGTERM"; "?" for any other signal.
const char* NomeSegnale(int segnale);

}  // namespace bricola
