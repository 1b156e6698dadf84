// Appending one record to a shared text file without ever mixing two writers.
#pragma once

#include <string>
#include <string_view>

namespace bricola {

// The longest wait for another writer's lock before a record is given up.
constexpr int kAttesaMassimaMs = 1000;

// Opens (creating when missing) the file at `percorso`, takes an exclusive lock
// (waiting up to kAttesaMassimaMs for another writer to release it), appends
// `dati` and closes the file again.
// Returns false when the file cannot be opened, stays locked by another writer for
// the whole wait, or the write fails; then the record is lost but the file is left
// as it was (a concurrent writer's record is never interleaved with this one).
bool AccodaEsclusivo(const std::string& percorso, std::string_view dati);

}  // namespace bricola
