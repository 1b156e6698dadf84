#include "tests/load/scheda_finta.h"

#include <algorithm>

#include "comm/porta_seriale.h"
#include "image/file.h"
#include "load/protocollo_boot.h"
#include "platform/linea_seriale.h"

namespace bricola::prova {

namespace {

class CLineaFinta final : public LineaSeriale {
 public:
  CLineaFinta(std::shared_ptr<SStatoLinea> s, int baud) : stato(std::move(s)) {
    stato->baud = baud;
  }
  int Scrivi(const std::uint8_t*, int) override { return -1; }  // the interface carries the bytes
  int Leggi(std::uint8_t*, int, int) override { return 0; }
  bool ImpostaBaud(int baud) override {
    if (stato->baudGuasto) return false;
    stato->baud = baud;
    Evento("baud", baud);
    return true;
  }
  bool ImpostaBitStop(int n) override {
    Evento("stop", n);
    return true;
  }
  bool ImpostaDtr(bool alto) override {
    const bool prima = stato->dtr;
    stato->dtr = alto;
    Evento("dtr", alto ? 1 : 0);
    if (prima && !alto && stato->resetScheda) stato->resetScheda();
    return true;
  }
  bool ImpostaRts(bool alto) override {
    stato->rts = alto;
    Evento("rts", alto ? 1 : 0);
    return true;
  }
  bool SvuotaIngresso() override { return true; }

 private:
  void Evento(const char* cosa, int valore) {
    stato->eventi.push_back({stato->orologio ? stato->orologio->Millisecondi() : 0, cosa, valore});
  }
  std::shared_ptr<SStatoLinea> stato;
};

}  // namespace

void InstallaLineaFinta(std::shared_ptr<SStatoLinea> stato) {
  ImpostaApritorePorta([stato](int, int baud, bool, bool) -> std::unique_ptr<LineaSeriale> {
    return std::make_unique<CLineaFinta>(stato, baud);
  });
}

Byte ConControllo(Byte b) {
  const std::uint16_t h = HashRuota5(b.data(), static_cast<int>(b.size()));
  b.push_back(static_cast<std::uint8_t>(h));
  b.push_back(static_cast<std::uint8_t>(h >> 8));
  return b;
}

// --- the board ----------------------------------------------------------------------

void CSchedaFinta::Reset() {
  baud = baudBoot;
  destinatario = 0;
  ingresso.clear();
  uscita.clear();
}

SScheda& CSchedaFinta::Bersaglio() {
  if (destinatario == 0) return locale;
  return remote[destinatario];
}

int CSchedaFinta::LarghezzaIndirizzo() const {
  const SScheda* b = &locale;
  if (destinatario != 0) {
    auto it = remote.find(destinatario);
    if (it != remote.end()) b = &it->second;
  }
  return b->micro == 9 ? 4 : 3;
}

int CSchedaFinta::LunghezzaRichiesta(const Byte& b) const {
  const int a = LarghezzaIndirizzo();
  switch (b[0]) {
    case kGetFirma: case kGetVersione: case kReboot: case kLunBuf: case kFine: return 4;
    case kSetRemoto: return 6;
    case kFlashType: return 1 + a + 3 + 3;
    case kBlank: return 1 + 2 * a + 3;
    case kErase: return 1 + a + 3;
    case kRead: return 1 + a + 2 + 3;
    case kWrite:
      if (static_cast<int>(b.size()) < 1 + a + 2) return 0;
      return 1 + a + 2 + LeggiU16(b.data() + 1 + a) + 3;
    case kComandoEsteso:
      if (b.size() < 2) return 0;
      switch (b[1]) {
        case kModoDati: case kGetMicro: case kGetVelocitaMassima: return 5;
        case kSetVelocita: return 6;
        case kFlashBlocco: return 2 + a + 3;
        case kCodice: return 11;
        default: return 5;
      }
    default:
      return 1;  // unknown byte: dropped on its own
  }
}

void CSchedaFinta::Ricevi(const std::uint8_t* dati, int n, int baudLinea) {
  ingresso.insert(ingresso.end(), dati, dati + n);
  for (;;) {
    if (ingresso.empty()) return;
    const int lunghezza = LunghezzaRichiesta(ingresso);
    if (lunghezza == 0 || static_cast<int>(ingresso.size()) < lunghezza) return;
    Byte trama(ingresso.begin(), ingresso.begin() + lunghezza);
    ingresso.erase(ingresso.begin(), ingresso.begin() + lunghezza);
    const std::uint16_t chiave =
        trama[0] == kComandoEsteso ? static_cast<std::uint16_t>(0xF700 | trama[1]) : trama[0];
    const bool ascoltata = baudLinea == baud;
    richieste.push_back({chiave, trama, baudLinea, ascoltata});
    if (!ascoltata) continue;  // bytes at another rate are noise to the board
    if (HashRuota5(trama.data(), lunghezza) != 0) {
      ++trameErrate;
      continue;
    }
    Elabora(trama, chiave);
  }
}

void CSchedaFinta::Rispondi(std::uint16_t chiave, Byte risposta, int indiceStato) {
  const int volta = ++occorrenze[chiave];
  int ritardo = 0;
  const bool doppio = chiave == kBlank || chiave == kErase;
  for (const SGuasto& g : guasti) {
    if (g.chiave != chiave || g.occorrenza != volta) continue;
    switch (g.tipo) {
      case Guasto::Nack: risposta = {kNack}; uscita = risposta; uscitaDa = orologio.Millisecondi(); return;
      case Guasto::NonGestito:
        uscita = ConControllo({kComandoEsteso, kNonGestito});
        uscitaDa = orologio.Millisecondi();
        return;
      case Guasto::Silenzio: return;
      case Guasto::Stato:
        // A reply without a status byte (Read) has nothing to change.
        if (indiceStato >= 0) risposta[static_cast<std::size_t>(indiceStato)] = static_cast<std::uint8_t>(g.valore);
        break;
      case Guasto::Ritardo: ritardo = g.valore; break;
      default: break;
    }
  }
  Byte finale = ConControllo(risposta);
  if (doppio) finale.insert(finale.begin(), risposta[0]);
  for (const SGuasto& g : guasti) {
    if (g.chiave != chiave || g.occorrenza != volta) continue;
    // Several faults may meet one reply; one that cut it away leaves nothing to spoil.
    if (g.tipo == Guasto::Controllo && !finale.empty()) finale.back() ^= 0x55;
    if (g.tipo == Guasto::Parziale) finale.resize(static_cast<std::size_t>(g.valore));
    if (g.tipo == Guasto::InizioErrato && !finale.empty()) finale[0] ^= 0x01;
  }
  uscita = finale;
  uscitaDa = orologio.Millisecondi() + ritardo;
}

void CSchedaFinta::Elabora(const Byte& t, std::uint16_t chiave) {
  const int a = LarghezzaIndirizzo();
  const auto indirizzo = [&](int da) {
    return a == 4 ? LeggiU32(t.data() + da)
                  : static_cast<std::uint32_t>(t[da] | (t[da + 1] << 8) | (t[da + 2] << 16));
  };
  // A remote board that does not exist: the local boot cannot reach it.
  // The local boot passes a reboot on over the bus whether or not anybody is there.
  if (chiave == kReboot) {
    auto it = remote.find(destinatario);
    const std::uint8_t stato = destinatario == 0 ? kRebootIgnorato : it == remote.end() ? kStatoOk : it->second.statoReboot;
    Rispondi(chiave, {kReboot, stato}, 1);
    return;
  }
  const bool irraggiungibile = destinatario != 0 && chiave != kSetRemoto &&
                               remote.find(destinatario) == remote.end();
  if (irraggiungibile) {
    if (nackPerIrraggiungibili) {
      uscita = {kNack};
      uscitaDa = orologio.Millisecondi();
    }
    return;
  }
  SScheda& b = Bersaglio();
  switch (chiave) {
    case kGetFirma:
      Rispondi(chiave, {kGetFirma, static_cast<std::uint8_t>(b.codice), static_cast<std::uint8_t>(b.codice >> 8)}, 1);
      break;
    case kGetVersione: Rispondi(chiave, {kGetVersione, b.versione}, 1); break;
    case kChiaveGetMicro: Rispondi(chiave, {kComandoEsteso, b.micro}, 1); break;
    case kChiaveVelocitaMassima: Rispondi(chiave, {kComandoEsteso, codiceVelocita}, 1); break;
    case kChiaveSetVelocita:
      Rispondi(chiave, {kComandoEsteso, kStatoOk}, 1);
      if (!uscita.empty() && uscita.size() == 4 && uscita[1] == kStatoOk) baud = kBaudAlto;
      break;
    case kSetRemoto: {
      const std::uint16_t can = LeggiU16(t.data() + 1);
      destinatario = can;
      Rispondi(chiave, {kSetRemoto, kStatoOk}, 1);
      break;
    }
    case kChiaveModoDati: Rispondi(chiave, {kComandoEsteso, statoModoDati}, 1); break;
    case kLunBuf: Rispondi(chiave, {kLunBuf, codiceBuffer}, 1); break;
    case kFlashType: {
      const std::uint16_t offset = LeggiU16(t.data() + 1 + a);
      const int conteggio = t[static_cast<std::size_t>(1 + a + 2)];
      Byte r{kFlashType};
      const Byte& id = offset == kOffsetSpec ? b.specFlash : b.idFlash;
      for (int i = 0; i < conteggio; ++i) r.push_back(i < static_cast<int>(id.size()) ? id[static_cast<std::size_t>(i)] : 0);
      Rispondi(chiave, r, 1);
      break;
    }
    case kChiaveFlashBlocco: {
      Byte r(11, 0);
      r[0] = kComandoEsteso;
      ScriviU32(r.data() + 1, b.bloccoInizio);
      ScriviU32(r.data() + 5, b.bloccoFine);
      Rispondi(chiave, r, 1);
      break;
    }
    case kBlank: {
      blankInizio = indirizzo(1);
      blankFine = indirizzo(1 + a) + 2;
      bool vuoto = true;
      for (std::uint32_t i = blankInizio; i < blankFine && vuoto; ++i) vuoto = b.Leggi(i) == 0xFF;
      Rispondi(chiave, {kBlank, vuoto ? kBlankVuoto : kStatoOk}, 1);
      break;
    }
    case kErase: {
      const std::uint32_t settore = indirizzo(1);
      if (b.protetti.count(settore)) {
        Rispondi(chiave, {kErase, kEraseProtetto}, 1);
        break;
      }
      for (auto it = b.flash.begin(); it != b.flash.end();) {
        it = (it->first >= settore && it->first < blankFine) ? b.flash.erase(it) : std::next(it);
      }
      Rispondi(chiave, {kErase, kStatoOk}, 1);
      break;
    }
    case kWrite: {
      const std::uint32_t inizio = indirizzo(1);
      const int n = LeggiU16(t.data() + 1 + a);
      for (int i = 0; i < n; ++i) {
        const std::uint32_t dove = inizio + static_cast<std::uint32_t>(i);
        std::uint8_t v = t[static_cast<std::size_t>(1 + a + 2 + i)];
        if (dove == b.indirizzoAlterato) v ^= 0x10;
        if (b.flashReale) v &= b.Leggi(dove);
        b.flash[dove] = v;
      }
      Rispondi(chiave, {kWrite, kStatoOk}, 1);
      break;
    }
    case kRead: {
      const std::uint32_t inizio = indirizzo(1);
      const int n = LeggiU16(t.data() + 1 + a);
      Byte r{kRead};
      for (int i = 0; i < n; ++i) r.push_back(b.Leggi(inizio + static_cast<std::uint32_t>(i)));
      Rispondi(chiave, r, -1);
      break;
    }
    case kChiaveCodice:
      b.codiceScritto = LeggiU16(t.data() + 2);
      b.indirizzoScritto = LeggiU32(t.data() + 4);
      b.codice = b.codiceScritto;
      Rispondi(chiave, {kComandoEsteso, kStatoOk}, 1);
      break;
    case kFine: Rispondi(chiave, {kFine, kStatoOk}, 1); break;
    default: break;
  }
}

int CSchedaFinta::Prendi(std::uint8_t* destinazione, int n) {
  if (uscita.empty() || orologio.Millisecondi() < uscitaDa) return 0;
  const int k = std::min<int>(n, static_cast<int>(uscita.size()));
  std::copy(uscita.begin(), uscita.begin() + k, destinazione);
  uscita.erase(uscita.begin(), uscita.begin() + k);
  return k;
}

void CSchedaFinta::Svuota() { uscita.clear(); }

std::vector<std::uint16_t> CSchedaFinta::Sequenza() const {
  std::vector<std::uint16_t> s;
  for (const auto& r : richieste) {
    if (r.ascoltata) s.push_back(r.chiave);
  }
  return s;
}

int CSchedaFinta::Conta(std::uint16_t chiave) const {
  return static_cast<int>(std::count_if(richieste.begin(), richieste.end(),
                                        [&](const SRichiestaVista& r) { return r.chiave == chiave && r.ascoltata; }));
}

// --- the interface --------------------------------------------------------------------

CInterfacciaFinta::~CInterfacciaFinta() { ChiudiLinea(); }

int CInterfacciaFinta::ApriLinea(int porta, int baud, int, int* esito) {
  handle = ApriPorta(porta + 1, baud, false, false);
  if (handle == kHandleNonValido) {
    *esito = 11;
    return 0;
  }
  portaAperta = porta;
  baudApertura = baud;
  *esito = 0;
  return 1;
}

int CInterfacciaFinta::RiapriLinea(int* esito) {
  ++riaperture;
  return ApriLinea(portaAperta, baudApertura, 0, esito);
}

int CInterfacciaFinta::ChiudiLinea() {
  if (handle == kHandleNonValido) return 0;
  ChiudiPorta(handle);
  handle = kHandleNonValido;
  return 1;
}

int CInterfacciaFinta::ScriviLinea(const std::uint8_t* dati, int lunghezza) {
  if (scritturaGuasta || handle == kHandleNonValido) return -1;
  scheda.Ricevi(dati, lunghezza, linea.baud);
  return lunghezza;
}

int CInterfacciaFinta::LeggiLinea(std::uint8_t* destinazione, int lunghezza) {
  return scheda.Prendi(destinazione, lunghezza);
}

int CInterfacciaFinta::SvuotaLinea() {
  scheda.Svuota();
  return 1;
}

void CInterfacciaFinta::ImpostaDestinatario(int base, int indirizzo) { destinatari.emplace_back(base, indirizzo); }

void CInterfacciaFinta::AttendiRisposta(int conteggio, int timeoutMs) { attese.emplace_back(conteggio, timeoutMs); }

}  // namespace bricola::prova
