// libFuzzer target: the parser of the FR kernel's read dumps. The first byte
// picks the count of values (1..64) and the kind of input:
//   raw: the rest is the dump text as it came from the line;
//   built: the rest gives the values of a well-formed dump, which is then
//   truncated, extended, or has one character changed where nothing is checked.
// The parser never reads outside the text nor writes more than the count of
// values; a well-formed dump gives back its values; a truncated one never passes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bootstrap/load_boot_fr.h"
#include "tests/fuzz/verifica.h"

namespace {

// The dump the kernel prints for values v: header, lines of 16, prompt.
std::vector<std::uint8_t> Dump(const std::vector<std::uint8_t>& v) {
  std::string s = "rd\r\n\r\n Reading 040h bytes from address 00080000 : \r\n\r\n\r\n";
  s.resize(57, ' ');
  s.replace(52, 5, "\n\r\n\r\n");
  for (std::size_t i = 0; i < v.size(); i += 16) {
    char prefisso[12];
    std::snprintf(prefisso, sizeof prefisso, "%08zx : ", i);
    s += std::string(prefisso, 11);
    for (std::size_t k = i; k < v.size() && k < i + 16; ++k) {
      char c[4];
      std::snprintf(c, sizeof c, "%02x ", v[k]);
      s += c;
    }
    s += "\r\n";
  }
  s += '>';
  return {s.begin(), s.end()};
}

bool Estrai(const std::vector<std::uint8_t>& testo, int r, std::vector<std::uint8_t>& valori, std::string& riga) {
  // Exact sizes, so that any read or write past them is caught.
  std::vector<std::uint8_t> copia(testo);
  auto* dati = new std::uint8_t[copia.size() + (copia.empty() ? 1 : 0)];
  std::copy(copia.begin(), copia.end(), dati);
  valori.assign(static_cast<std::size_t>(r), 0);
  auto* uscita = new std::uint8_t[static_cast<std::size_t>(r)];
  const bool ok = bricola::EstraiDatiLetti(dati, static_cast<int>(copia.size()), r, uscita, &riga);
  std::copy(uscita, uscita + r, valori.begin());
  delete[] uscita;
  delete[] dati;
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  if (n < 1) return 0;
  const int r = 1 + (dati[0] & 0x3F);
  const int modo = dati[0] >> 6;
  std::vector<std::uint8_t> valori;
  std::string riga;
  if (modo == 0) {
    const std::vector<std::uint8_t> testo(dati + 1, dati + n);
    if (!Estrai(testo, r, valori, riga)) {
      Verifica(riga.rfind("EstraiDatiLetti: ", 0) == 0);
    }
    return 0;
  }
  if (n < 4) return 0;
  const std::size_t dove = static_cast<std::size_t>(dati[1]) | static_cast<std::size_t>(dati[2]) << 8;
  const std::uint8_t carattere = dati[3];
  std::vector<std::uint8_t> attesi(static_cast<std::size_t>(r));
  for (int i = 0; i < r; ++i) attesi[static_cast<std::size_t>(i)] = n > 4 ? dati[4 + static_cast<std::size_t>(i) % (n - 4)] : 0;
  std::vector<std::uint8_t> testo = Dump(attesi);
  Verifica(Estrai(testo, r, valori, riga) && valori == attesi);
  if (modo == 1) {
    // Cut anywhere before the prompt: never a success.
    testo.resize(dove % testo.size());
    Verifica(!Estrai(testo, r, valori, riga));
  } else if (modo == 2) {
    // Whatever follows the prompt is not the parser's business.
    testo.insert(testo.end(), dati + 4, dati + n);
    Verifica(Estrai(testo, r, valori, riga) && valori == attesi);
  } else {
    // The header and the 11 characters that open each line are not checked.
    const std::size_t p = dove % testo.size();
    const bool libero = p < 57 ? (p < 52) : ((p - 57) % (11 + 3 * 16 + 2) < 11 && p + 1 < testo.size());
    if (libero) {
      testo[p] = carattere;
      Verifica(Estrai(testo, r, valori, riga) && valori == attesi);
    }
  }
  return 0;
}
