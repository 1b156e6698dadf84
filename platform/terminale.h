// Whether the standard streams are terminals (batch mode redraws its progress
// line only on a terminal).
#pragma once

namespace bricola {

bool ErroriSuTerminale();   // standard error is a terminal
bool IngressoSuTerminale();  // standard input is a terminal (someone may answer)

}  // namespace bricola
