// libFuzzer target: module analysis of an arbitrary file held in memory. Any
// crash, out-of-bounds access, leak, hang or broken invariant is a finding.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/analisi.h"
#include "image/file.h"

// A broken invariant names itself and aborts, which libFuzzer reports as a crash.
#define Verifica(condizione)                                              \
  do {                                                                    \
    if (!(condizione)) {                                                  \
      std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condizione, __LINE__); \
      std::abort();                                                       \
    }                                                                     \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  using namespace bricola;
  // The descriptors are reused from one input to the next, as an operation does.
  static std::vector<CProgDescr> descrittori(kMaxModuli);
  static CAnalisiFile analisi;

  CFileMemoria file(std::vector<std::uint8_t>(dati, dati + n));
  analisi.ImpostaSorgente(true, &file);
  for (bool crc : {true, false}) {
    analisi.ImpostaVerificaCrc(crc);
    int numModuli = -1, tuttiValidi = -1, inutilizzabile = -1, grezzo = -1, errore = -1;
    const int esito = analisi.AnalizzaFile("", descrittori.data(), kMaxModuli, numModuli, tuttiValidi,
                                           inutilizzabile, grezzo, errore);
    Verifica(!file.Aperto());
    Verifica(numModuli >= 0 && numModuli <= kMaxModuli);
    Verifica((esito == 1) == (errore == ERRORE_NESSUNO));
    Verifica(errore == 0 || errore == ERRORE_FORMATO || errore == ERRORE_SELETTORE);
    Verifica(!grezzo || numModuli == 1);
    Verifica(!tuttiValidi || (esito == 1 && !inutilizzabile));
    // Reading is bounded: the CRC pass reads each byte once, the rest is heads.
    Verifica(file.ByteLetti() <= 3 * static_cast<std::uint64_t>(n) + 4096);
    int selezione[kMaxModuli] = {};
    for (int i = 0; i < numModuli; ++i) {
      const CProgDescr& d = descrittori[static_cast<std::size_t>(i)];
      Verifica(d.stato >= STATO_VALIDO && d.stato <= STATO_SENZA_DATI);
      if (d.stato == STATO_VALIDO) {
        // What a loader will read lies inside the file.
        Verifica(d.inizio <= d.fine);
        Verifica(d.fine <= n);
        Verifica(d.TipoLoad() >= 0 && d.TipoLoad() <= 13);
      }
      std::string testo;
      d.Descrizione(testo, 64);
      if (d.descrizione) Verifica(d.descrizione->size() <= 4 * 65536);
      selezione[i] = 1;
    }
    CAnalisiFile::TuttiSelezionatiValidi(descrittori.data(), numModuli, selezione);
    CAnalisiFile::QualcunoNonRemoto(descrittori.data(), numModuli, selezione);
    CAnalisiFile::QualcunoBoot(descrittori.data(), numModuli, selezione);
  }
  return 0;
}
