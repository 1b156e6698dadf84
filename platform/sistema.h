// Small operating-system services: temporary directory, local time, clocks, sleeps.
#pragma once

#include <cstdint>
#include <string>

namespace bricola {

struct OraLocale {
  int anno, mese, giorno, ora, minuto, secondo;
};

// $TMPDIR when set and not empty, else "/tmp"; always without a trailing '/'.
std::string CartellaTemporanea();
OraLocale OraAttuale();
// Milliseconds of a monotonic clock (arbitrary origin).
std::int64_t MillisecondiMonotoni();
void Dormi(int millisecondi);

}  // namespace bricola
