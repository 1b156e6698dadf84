#include "load/load.h"

#include <chrono>
#include <climits>
#include <thread>

#include "comm/porta_seriale.h"

namespace bricola {

namespace {

class COrologioStabile : public COrologio {
 public:
  std::int64_t Millisecondi() override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void Dormi(int millisecondi) override {
    if (millisecondi > 0) std::this_thread::sleep_for(std::chrono::milliseconds(millisecondi));
  }
  bool AttendiSveglia(CSveglia* sveglia, int millisecondi) override {
    if (millisecondi <= 0) return false;
    if (sveglia != nullptr) return sveglia->Attendi(millisecondi);
    // Without a wake-up the line is looked at every millisecond.
    Dormi(1);
    return false;
  }
};

constexpr std::uint32_t kRecordTipizzato = 0xFFFFFFFF;
constexpr std::uint16_t kTipoIndirizzo = 0x0000;
constexpr std::uint16_t kTipoFine = 0xFFFF;
constexpr int kIntestazioneRecord = 8;

std::uint16_t Ruota5(std::uint16_t h) {
  return static_cast<std::uint16_t>((h << 5) | (h >> 11));
}

}  // namespace

COrologio& OrologioDiSistema() {
  static COrologioStabile orologio;
  return orologio;
}

// --- CLoad ---------------------------------------------------------------------

void CLoad::ImpostaScadenza(int ms) { scadenza = orologio->Millisecondi() + ms; }

long CLoad::Margine() const { return static_cast<long>(scadenza - orologio->Millisecondi()); }

int CLoad::Scaduto() const { return orologio->Millisecondi() >= scadenza ? 1 : 0; }

int CLoad::Secondi() const { return static_cast<int>(orologio->Millisecondi() / 1000); }

int CLoad::ContaBlocchi(std::uint32_t inizio, std::uint32_t lunghezza, int conteggioSemplice,
                        int* totale, int* blocchi) {
  *totale = 0;
  *blocchi = 0;
  const std::uint64_t fine = static_cast<std::uint64_t>(inizio) + lunghezza;
  std::uint64_t posizione = inizio;
  std::int64_t somma = 0;
  if (!fileModulo.Posiziona(inizio)) return 0;
  while (posizione < fine) {
    std::uint8_t h[kIntestazioneRecord];
    if (!fileModulo.Leggi(h, sizeof h)) return 0;
    const std::uint32_t primo = LeggiU32(h);
    std::uint64_t dopo = posizione + kIntestazioneRecord;
    if (primo == kRecordTipizzato) {
      const std::uint16_t tipo = LeggiU16(h + 4);
      if (tipo == kTipoFine) break;
      if (tipo != kTipoIndirizzo) {
        const std::uint16_t dimensione = LeggiU16(h + 6);
        // A record shorter than its own header would walk backwards.
        if (dimensione < kIntestazioneRecord) return 0;
        dopo = posizione + dimensione;
      }
    } else if (primo != 0) {
      dopo += primo;
      // A payload that runs past the module's end means a corrupt module.
      if (dopo > fine) return 0;
      somma += conteggioSemplice ? primo : 2LL * primo;
      if (somma > INT_MAX) return 0;
      ++*blocchi;
    }
    if (dopo > UINT32_MAX || !fileModulo.Posiziona(static_cast<std::uint32_t>(dopo))) return 0;
    posizione = dopo;
  }
  *totale = static_cast<int>(somma);
  return 1;
}

int CLoad::ProssimoBlocco(int* lunghezza, int* indirizzo) {
  for (;;) {
    std::uint8_t h[kIntestazioneRecord];
    if (!fileModulo.Leggi(h, sizeof h)) return 0;
    const std::uint32_t primo = LeggiU32(h);
    if (primo == kRecordTipizzato) {
      const std::uint16_t tipo = LeggiU16(h + 4);
      if (tipo == kTipoFine) return 0;
      if (tipo == kTipoIndirizzo) continue;
      const std::uint16_t dimensione = LeggiU16(h + 6);
      if (dimensione < kIntestazioneRecord) return 0;
      if (!fileModulo.Sposta(dimensione - kIntestazioneRecord)) return 0;
    } else if (primo != 0) {
      if (primo > INT_MAX) return 0;
      *lunghezza = static_cast<int>(primo);
      *indirizzo = static_cast<int>(LeggiU32(h + 4));
      return 1;
    }
  }
}

// --- HashRuota5 and the frame checks -----------------------------------------

std::uint16_t HashRuota5(const std::uint8_t* dati, int n, std::uint16_t iniziale) {
  std::uint16_t h = iniziale;
  for (int i = 0; i < n; ++i) h = static_cast<std::uint16_t>(Ruota5(h) ^ dati[i]);
  return h;
}

void CLoadFujitsu::AggiungiControllo(std::uint8_t* trama, int n) {
  // Three bytes that each clear the low byte of the running hash: after the
  // third the hash over the whole request is 0, which is what the boot checks.
  std::uint16_t h = HashRuota5(trama, n);
  for (int i = 0; i < 3; ++i) {
    const std::uint16_t t = Ruota5(h);
    const auto c = static_cast<std::uint8_t>(t & 0xFF);
    trama[n + i] = c;
    h = static_cast<std::uint16_t>(t ^ c);
  }
}

int CLoadFujitsu::VerificaRisposta(const std::uint8_t* risposta, int n, std::uint8_t primo) {
  if (n < 3 || risposta[0] != primo) return 0;
  return HashRuota5(risposta, n - 2) == LeggiU16(risposta + n - 2) ? 1 : 0;
}

// --- CLoadFujitsu: the line ------------------------------------------------------

void CLoadFujitsu::Collega(CInterfaccia* nuova) {
  interfaccia = nuova;
  handleLinea = nuova ? nuova->handle : kHandleNonValido;
}

int CLoadFujitsu::ScriviGrezzo(const std::uint8_t* dati, int n, int lento) {
  interfaccia->SvuotaLinea();
  byteRicevuti = 0;
  if (!lento) return interfaccia->ScriviLinea(dati, n);
  for (int i = 0; i < n; ++i) {
    if (interfaccia->ScriviLinea(dati + i, 1) <= 0) return -1;
    // Slow writing: boards with a small receive FIFO need a gap after each byte.
    orologioLinea->Dormi(1);
  }
  return n;
}

int CLoadFujitsu::InviaRichiesta(const std::uint8_t* trama, int n, int lunghezzaRisposta,
                                 int timeoutMs, int lento) {
  if (ScriviGrezzo(trama, n, lento) != n) return 0;
  lunghezzaAttesa = lunghezzaRisposta;
  interfaccia->AttendiRisposta(lunghezzaRisposta, timeoutMs);
  return 1;
}

int CLoadFujitsu::RiceviRisposta(std::uint8_t* buffer, int n) {
  int presi = 0;
  while (byteRicevuti < n) {
    const int letti = interfaccia->LeggiLinea(buffer + byteRicevuti, n - byteRicevuti);
    if (letti <= 0) break;
    byteRicevuti += letti;
    presi += letti;
  }
  return presi > 0 ? 1 : 0;
}

int CLoadFujitsu::ImpostaVelocita(int baud) {
  baudCorrente = baud;
  if (ImpostaBaud(handleLinea, baud) != 0) return 0;
  // The UART and the board's boot need a moment at the new rate before the next frame.
  orologioLinea->Dormi(50);
  return 1;
}

int CLoadFujitsu::ImpostaBitStopLinea(int n) {
  bitStop = n;
  return ImpostaBitStop(handleLinea, n) == 0 ? 1 : 0;
}

int CLoadFujitsu::AbbassaRts() {
  statoRts = 0;
  return RtsBasso(handleLinea) == 0 ? 1 : 0;
}

int CLoadFujitsu::AlzaRts() {
  statoRts = 1;
  return RtsAlto(handleLinea) == 0 ? 1 : 0;
}

int CLoadFujitsu::ImpulsoDtr(int conRts, int ms) {
  statoDtr = 1;
  if (DtrAlto(handleLinea) != 0) return 0;
  if (conRts) {
    // RTS follows DTR after the reset circuit has latched (boards that select
    // the ROM bootstrap with RTS sample it while reset is held).
    orologioLinea->Dormi(27);
    statoRts = 1;
    if (RtsAlto(handleLinea) != 0) return 0;
  }
  // Hold reset long enough for the board's supervisor to see it.
  orologioLinea->Dormi(ms);
  statoDtr = 0;
  if (DtrBasso(handleLinea) != 0) return 0;
  return 1;
}

int CLoadFujitsu::RiapriCollegamento() {
  int esitoApertura = 0;
  interfaccia->ChiudiLinea();
  // Let the driver release the port before it is opened again.
  orologioLinea->Dormi(50);
  interfaccia->RiapriLinea(&esitoApertura);
  handleLinea = interfaccia->handle;
  if (ImpostaBaud(handleLinea, baudCorrente) == 0) {
    // Settle at the restored rate, as after any baud change.
    orologioLinea->Dormi(50);
  }
  return handleLinea != kHandleNonValido ? 1 : 0;
}

void CLoadFujitsu::InoltraDestinatario(int base, int indirizzo) {
  interfaccia->ImpostaDestinatario(base, indirizzo);
}

}  // namespace bricola
