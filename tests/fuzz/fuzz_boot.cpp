// libFuzzer target: the resident-boot loader stepped against a correct board
// whose replies the input disturbs. The board (tests/load/scheda_finta) stores
// what it is sent as real flash does (a write only clears bits) and answers
// the protocol; the input gives:
//   byte 0: options (bit 0 no read-back, bit 1 optimised read-back, bit 2
//           128-byte buffer, bit 3 fixed speed, bit 4 a remote board by CAN
//           address, bit 5 the sector already holds data, bits 6-7 boot version);
//   byte 1: module length / 8, byte 2: offset of the module in the sector;
//   byte 3: number F of board faults (at most 16), then F faults of 4 bytes
//           (request, occurrence, kind, value);
//   the rest: one byte for each piece of reply the loader takes, which passes
//           it, flips a bit, drops it, cuts it, replaces or inserts a byte,
//           or repeats it.
// The loader is stepped on a fake clock advanced by its period each step.
// What must hold: it ends within a budget of steps that grows with the module
// and with each disturbance; it never sends a request with a wrong check; it
// ends with ST_DONE and result 0 or with another phase and a non-zero result;
// ST_DONE with a full read-back means the board holds the module.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "load/load_90fxxx.h"
#include "load/protocollo_boot.h"
#include "tests/fuzz/verifica.h"
#include "tests/load/scheda_finta.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace {

using namespace bricola;
using prova::Byte;

// Between the loader and the board: every piece of reply the loader takes is
// passed through the next byte of the script.
class CDisturbo : public CInterfaccia {
 public:
  CDisturbo(CInterfaccia& i, const std::uint8_t* s, std::size_t n) : interna(i), script(s), lunghezza(n) {}
  int ApriLinea(int porta, int baud, int flag, int* esito) override {
    const int r = interna.ApriLinea(porta, baud, flag, esito);
    handle = interna.handle;
    return r;
  }
  int RiapriLinea(int* esito) override {
    const int r = interna.RiapriLinea(esito);
    handle = interna.handle;
    return r;
  }
  int ChiudiLinea() override {
    const int r = interna.ChiudiLinea();
    handle = interna.handle;
    return r;
  }
  int ScriviLinea(const std::uint8_t* d, int n) override { return interna.ScriviLinea(d, n); }
  int LeggiLinea(std::uint8_t* destinazione, int n) override {
    std::uint8_t pezzo[4096];
    const int k = interna.LeggiLinea(pezzo, static_cast<int>(sizeof pezzo));
    if (k > 0) Disturba(Byte(pezzo, pezzo + k));
    int dati = 0;
    while (dati < n && !coda.empty()) {
      destinazione[dati++] = coda.front();
      coda.pop_front();
    }
    return dati;
  }
  int SvuotaLinea() override {
    coda.clear();
    return interna.SvuotaLinea();
  }
  void ImpostaDestinatario(int base, int indirizzo) override { interna.ImpostaDestinatario(base, indirizzo); }
  void AttendiRisposta(int conteggio, int timeoutMs) override { interna.AttendiRisposta(conteggio, timeoutMs); }

  int disturbi = 0;  // pieces changed

 private:
  std::uint8_t Prossimo() { return posizione < lunghezza ? script[posizione++] : 0; }
  void Disturba(Byte b) {
    const std::uint8_t c = Prossimo();
    const std::uint8_t a = Prossimo();
    const std::size_t i = a % b.size();
    switch (c % 8) {
      case 0: case 1: break;
      case 2: b[i] ^= static_cast<std::uint8_t>(1u << (c >> 5)); break;
      case 3: b.clear(); break;
      case 4: b.resize(i); break;
      case 5: b[i] = Prossimo(); break;
      case 6: b.insert(b.begin() + static_cast<std::ptrdiff_t>(i), Prossimo()); break;
      case 7: { const Byte copia = b; b.insert(b.end(), copia.begin(), copia.end()); break; }
    }
    if (c % 8 >= 2) ++disturbi;
    coda.insert(coda.end(), b.begin(), b.end());
  }

  CInterfaccia& interna;
  const std::uint8_t* script;
  std::size_t lunghezza;
  std::size_t posizione = 0;
  std::deque<std::uint8_t> coda;
};

constexpr std::uint16_t kChiavi[] = {kGetFirma, kGetVersione, prova::kChiaveGetMicro,
                                     prova::kChiaveVelocitaMassima, prova::kChiaveSetVelocita, kSetRemoto,
                                     kReboot, kLunBuf, kBlank, kErase, kWrite, kRead, kFine,
                                     prova::kChiaveModoDati, prova::kChiaveCodice, prova::kChiaveFlashBlocco};
constexpr std::uint8_t kVersioni[] = {0x60, 0x53, 0x55, 0x68};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  if (n < 4) return 0;
  static prova::CCartellaTemporanea cartella;
  static std::shared_ptr<prova::SStatoLinea> linea = [] {
    auto l = std::make_shared<prova::SStatoLinea>();
    prova::InstallaLineaFinta(l);
    return l;
  }();
  const int opzioniFuzz = dati[0];
  const std::uint32_t lunghezzaModulo = 8u * (1u + dati[1] % 64);
  const std::uint32_t indirizzo = 0xFC0000u + (dati[2] & 0xF0u) * 4u;
  std::size_t p = 4;
  const int numeroGuasti = dati[3] % 17;

  prova::COrologioFinto orologio;
  linea->orologio = &orologio;
  linea->eventi.clear();
  linea->baudGuasto = false;
  prova::CSchedaFinta scheda(orologio);
  linea->resetScheda = [&scheda] { scheda.Reset(); };
  scheda.locale.versione = kVersioni[opzioniFuzz >> 6];
  scheda.locale.flashReale = true;
  const bool remota = (opzioniFuzz & 16) != 0;
  if (remota) {
    prova::SScheda r;
    r.versione = scheda.locale.versione;
    r.flashReale = true;
    scheda.remote[0x0123] = r;
  }
  prova::SScheda& bersaglio = remota ? scheda.remote[0x0123] : scheda.locale;
  if (opzioniFuzz & 32) {
    for (std::uint32_t i = 0; i < 16; ++i) bersaglio.flash[0xFC0000u + i * 3] = static_cast<std::uint8_t>(i);
  }
  for (int g = 0; g < numeroGuasti && p + 4 <= n; ++g, p += 4) {
    scheda.guasti.push_back({kChiavi[dati[p] % 16], 1 + dati[p + 1] % 8, static_cast<prova::Guasto>(dati[p + 2] % 8),
                             dati[p + 3]});
  }
  const std::size_t guastiVeri = scheda.guasti.size();

  // The module: a pattern from the input's first bytes.
  const Byte contenuto = prova::Schema(lunghezzaModulo, static_cast<std::uint32_t>(dati[1] | dati[2] << 8));
  prova::CImmagine img;
  img.Dati(indirizzo, contenuto).Fine(0x0010);
  const std::string percorso = cartella.File("modulo.bin");
  Verifica(img.Scrivi(percorso));

  prova::CInterfacciaFinta finta(scheda, *linea);
  CDisturbo disturbo(finta, dati + p, n - p);
  int esito = -1;
  Verifica(disturbo.ApriLinea(2, 38400, 0, &esito) == 1);

  CLoad90Fxxx loader;
  loader.ImpostaOrologio(&orologio);
  int opzioni = OPZ_BOOT_UNIVERSALE;
  if (opzioniFuzz & 1) opzioni |= OPZ_SENZA_RILETTURA;
  if (opzioniFuzz & 2) opzioni |= OPZ_RILETTURA_OTTIMIZZATA;
  if (opzioniFuzz & 4) opzioni |= OPZ_BUFFER_128;
  if (opzioniFuzz & 8) opzioni |= OPZ_VELOCITA_FISSA;
  const std::uint32_t indirizzi[4] = {remota ? 0x0123u : 0u, 0, 0, 0};
  const int velocita[2] = {38400, 19200};
  const std::uint32_t fine = img.Posizione() - 4;
  const int avviato = loader.Avvia(percorso, 0, fine, 0x0010, indirizzi, 0, 3, 1, &disturbo, 0, velocita, opzioni,
                                   &esito);
  Verifica(avviato == 1 && esito == RC_OK);

  // The budget: the steps of a clean load of this module, and for each
  // disturbance the longest wait and retry it can cost.
  const long pacchetti = 1 + static_cast<long>(lunghezzaModulo) / 128;
  const long budget = 2000 + 40 * pacchetti + 1000 * static_cast<long>(guastiVeri + 1 + (n - p) / 2);
  long passi = 0;
  int aggiorna = 0;
  while (loader.Passo(&aggiorna)) {
    Verifica(++passi <= budget);
    orologio.adesso += loader.PeriodoTimer();
  }
  Verifica(scheda.trameErrate == 0);
  if (loader.fase == ST_DONE) {
    Verifica(loader.esito == RC_OK);
    if (!(opzioni & (OPZ_SENZA_RILETTURA | OPZ_RILETTURA_OTTIMIZZATA))) {
      for (std::uint32_t i = 0; i < lunghezzaModulo; ++i) Verifica(bersaglio.Leggi(indirizzo + i) == contenuto[i]);
    }
  } else {
    Verifica(loader.esito != RC_OK);
  }
  loader.Termina();
  disturbo.ChiudiLinea();
  linea->resetScheda = nullptr;
  linea->orologio = nullptr;
  return 0;
}
