#include "platform/terminale.h"

#include <unistd.h>

namespace bricola {

bool ErroriSuTerminale() { return ::isatty(STDERR_FILENO) == 1; }

bool IngressoSuTerminale() { return ::isatty(STDIN_FILENO) == 1; }

}  // namespace bricola
