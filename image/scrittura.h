// Writing image files: one module built from data records (with an optional
// CAN address pair and header record in front) closed by its end record, and
// the safe replacement of a file on disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bricola {

// One data record: its payload goes to the board at indirizzo.
struct SRecordDati {
  std::uint32_t indirizzo = 0;
  std::vector<std::uint8_t> dati;
};

// What a one-module image file carries.
struct SModuloImmagine {
  std::uint16_t codice = 0xFFFF;  // machine code of the end record
  // Address pair record (type 0x0002) first, when indirizzoCan is nonzero.
  std::uint32_t indirizzoCan = 0;
  std::uint32_t indirizzoCanSecondario = 0;
  // Header record (type 0x0001) when conIntestazione: micro family selector,
  // module class, loadable remotely, name (at most 128 bytes, NUL-padded).
  bool conIntestazione = false;
  int tipoMicro = 1;
  int tipoModulo = 0;
  bool caricabileRemoto = true;
  std::string nome;
  std::vector<SRecordDati> record;
};

// The bytes of the file: the records in order, then the end record with the
// CRC of everything before its CRC bytes and the code, both big-endian.
std::vector<std::uint8_t> ComponiImmagine(const SModuloImmagine& modulo);

// Writes contenuto as percorso: into a new file beside it first, which then
// replaces percorso in one rename. false when anything failed: then the new
// file is gone and a file that stood at percorso is untouched.
bool SostituisciFile(const std::string& percorso, const std::vector<std::uint8_t>& contenuto);

}  // namespace bricola
