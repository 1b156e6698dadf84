#include "sim/fr_sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace bricola::sim {

namespace {

// Bootstrap check and its answer.
constexpr std::uint8_t CHECK_FR = 'V';
constexpr std::uint8_t CHECK_FR_OK = 'F';
// Bootstrap command prefix: 01 then the command; each byte is echoed.
constexpr std::uint8_t PREFISSO_ROM = 0x01;
constexpr std::uint8_t ECO_PREFISSO = 0xF1;
constexpr std::uint8_t ROM_LEGGI = 0x02;
constexpr std::uint8_t ROM_SCRIVI = 0x03;
constexpr std::uint8_t ROM_CHIAMA = 0x04;
constexpr std::uint8_t ECO_COMANDO = 0x80;  // | command

constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t NAK = 0x15;
// Carriage returns in a row that end the hex download mode.
constexpr int CR_FINE_DOWNLOAD = 8;

// Waits the protocol sets the PC, counted from its own send: the whole echo
// window of each bootstrap command byte, the kernel's start after the call,
// the gap between the carriage returns of a download's end, and the rest at
// the prompt after a blank check (from the PC's next request on).
constexpr double FINESTRA_ECO_PC_MS = 20;
constexpr double AVVIO_CHIAMATA_PC_MS = 200;
constexpr double PAUSA_CR_PC_MS = 100;
constexpr double PAUSA_DOPO_BLANK_PC_MS = 200;

// What the kernel reads from the short segments before it programs its UART
// and its flash interface; a chip without them hangs in the kernel's start.
struct CellaAvvio {
  std::uint32_t indirizzo;
  std::uint8_t valore;
};
constexpr CellaAvvio CELLE_AVVIO[] = {
    {0x0002FFFE, 0x00}, {0x0002FFFF, 0xD0}, {0x0002FFF1, 0x00}, {0x0002FFF5, 0x00}, {0x0002FFF9, 0x00},
    {0x00000680, 0x00}, {0x00000681, 0xFF}, {0x0003FFF0, 0x00}, {0x0003FFF1, 0x00},
};

std::string Esa(const std::uint8_t* d, std::size_t n) {
  static const char* cifre = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i) s += ' ';
    s += cifre[d[i] >> 4];
    s += cifre[d[i] & 15];
  }
  return s;
}

// The bytes as a technician reads them on a terminal.
std::string Testo(const std::uint8_t* d, std::size_t n) {
  std::string s = "\"";
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = d[i];
    if (c == '\r') s += "\\r";
    else if (c == '\n') s += "\\n";
    else if (c >= 0x20 && c < 0x7F && c != '"') s += static_cast<char>(c);
    else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      s += b;
    }
  }
  return s + "\"";
}

bool Esadecimale(const std::string& s, std::uint32_t& v) {
  if (s.empty()) return false;
  v = 0;
  for (char c : s) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = (v << 4) | static_cast<std::uint32_t>(std::stoul(std::string(1, c), nullptr, 16));
  }
  return true;
}

std::string Formato(const char* f, unsigned long v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

}  // namespace

const char* CChipFrSim::NomeStato() const {
  switch (stato_) {
    case StatoFr::Fermo: return "fermo";
    case StatoFr::SoloCheck: return "check";
    case StatoFr::Bootstrap: return "bootstrap";
    case StatoFr::Kernel: return "kernel";
    case StatoFr::Cancellazione: return "cancellazione";
  }
  return "?";
}

void CChipFrSim::Arrivo(const std::string& richiesta, const std::vector<UscitaFr>& u, std::int64_t ms,
                        const std::string& nome, const Traccia& t) {
  richiestaAttiva_ = richiesta;
  inizioRisposta_ = u.size();
  silenzio_ = nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
  GuastoFr* chiusura = nullptr;
  for (auto& g : config.guasti) {
    if (g.richiesta.empty() || (g.richiesta != "*" && g.richiesta != richiesta)) continue;
    if (g.saltati < g.dopo) {
      ++g.saltati;
      continue;
    }
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    GuastoFr** posto = nullptr;
    switch (g.tipo) {
      case TipoGuastoFr::Silenzio: posto = &silenzio_; break;
      case TipoGuastoFr::Nack: posto = &nack_; break;
      case TipoGuastoFr::Controllo: posto = &controllo_; break;
      case TipoGuastoFr::BitRisposta: posto = &bitRisposta_; break;
      case TipoGuastoFr::BitInvertito: posto = &bitInvertito_; break;
      case TipoGuastoFr::Chiusura: posto = &chiusura; break;
      default: break;
    }
    if (posto && !*posto) *posto = &g;
  }
  auto usa = [&](GuastoFr* g, const char* testo) {
    ++g->usati;
    t(ms, std::string("guasto ") + testo + " " + nome + " " + richiesta + " (" + std::to_string(g->usati) + ")");
  };
  if (chiusura) {
    usa(chiusura, "chiusura");
    chiudi_ = true;
    silenzio_ = chiusura;  // nothing more is answered
    nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
    return;
  }
  if (silenzio_) {
    usa(silenzio_, "silenzio");
    nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
    return;
  }
  if (bitInvertito_ && richiesta != "record") bitInvertito_ = nullptr;
  if (bitInvertito_) usa(bitInvertito_, "bit invertito");
  if (nack_) usa(nack_, "nack");
  if (controllo_) usa(controllo_, "controllo");
  if (bitRisposta_) usa(bitRisposta_, "bit risposta");
}

void CChipFrSim::Altera(std::vector<UscitaFr>& u, std::int64_t ms, const std::string& nome, const Traccia& t) {
  (void)ms;
  (void)nome;
  (void)t;
  if (richiestaAttiva_.empty()) return;
  const std::size_t da = std::min(inizioRisposta_, u.size());
  if (silenzio_) {
    u.resize(da);
  } else if (nack_ && da < u.size()) {
    const bool testo = stato_ == StatoFr::Kernel && richiestaAttiva_ != "record";
    const std::string ng = "\r\n NG \r\n>";
    UscitaFr r{testo ? std::vector<std::uint8_t>(ng.begin(), ng.end()) : std::vector<std::uint8_t>{0x15},
               u[da].ritardoMs};
    u.resize(da);
    u.push_back(std::move(r));
  } else {
    // The reply's bytes, possibly in several outputs.
    std::vector<std::uint8_t*> byte;
    for (std::size_t i = da; i < u.size(); ++i)
      for (auto& b : u[i].byte) byte.push_back(&b);
    if (!byte.empty()) {
      if (controllo_) *byte.back() ^= 0x01;
      if (bitRisposta_) {
        const std::int64_t n = static_cast<std::int64_t>(byte.size());
        std::int64_t k = bitRisposta_->posizioneRisposta;
        if (k < 0) k += n;
        k = std::clamp<std::int64_t>(k, 0, n - 1);
        *byte[static_cast<std::size_t>(k)] ^= static_cast<std::uint8_t>(1u << (bitRisposta_->bit & 7));
      }
    }
  }
  richiestaAttiva_.clear();
  silenzio_ = nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
}

GuastoFr* CChipFrSim::Guasto(TipoGuastoFr tipo, ParteFr parte, std::int64_t indirizzo) {
  for (auto& g : config.guasti) {
    if (!g.richiesta.empty()) continue;  // aimed by request kind (Arrivo)
    if (g.tipo != tipo) continue;
    if (g.conIndirizzo && indirizzo != static_cast<std::int64_t>(g.indirizzo)) continue;
    if (tipo == TipoGuastoFr::Silenzio && g.parte != ParteFr::Tutto && g.parte != parte) continue;
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    return &g;
  }
  return nullptr;
}

bool CChipFrSim::Muto(ParteFr parte, std::int64_t ms, const std::string& nome, const Traccia& t) {
  GuastoFr* g = Guasto(TipoGuastoFr::Silenzio, parte);
  if (!g) return false;
  ++g->usati;
  t(ms, "guasto silenzio " + nome + " (" + std::to_string(g->usati) + ")");
  return true;
}

void CChipFrSim::Reset(bool conRts, std::int64_t ms, const std::string& nome, const Traccia& t) {
  fase_ = Fase::Attesa;
  comando_ = ComandoRomFr::Nessuno;
  campi_.clear();
  sordoFinoMs_ = 0;
  ultimoByteMs_ = ms;
  if (conRts) {
    stato_ = StatoFr::Bootstrap;
    t(ms, "reset " + nome + ": bootstrap ROM FR a " + std::to_string(config.baudBootstrap));
  } else {
    // A blank flash holds no program: the chip only answers the check.
    stato_ = StatoFr::SoloCheck;
    t(ms, "reset " + nome + ": flash vuota, risponde al check FR a " + std::to_string(config.baudBootstrap));
  }
}

void CChipFrSim::AvviaCancellazione(std::int64_t ms, const std::string& nome, const Traccia& t) {
  stato_ = StatoFr::Cancellazione;
  fineCancellazioneMs_ = ms + config.cancellazioneChipMs;
  t(ms, "cancellazione chip " + nome + ": " + std::to_string(config.cancellazioneChipMs) + " ms");
}

bool CChipFrSim::Aggiorna(std::int64_t ms, CFlashSim& flash, const std::string& nome, const Traccia& t) {
  if (stato_ != StatoFr::Cancellazione || ms < fineCancellazioneMs_) return false;
  flash.CancellaTutto();
  config.bootResidente = false;
  stato_ = StatoFr::Fermo;
  t(fineCancellazioneMs_, "cancellazione chip " + nome + " completata: flash vuota, nessun boot residente");
  return true;
}

void CChipFrSim::InterrompiCancellazione(std::int64_t ms, const std::string& nome, const Traccia& t) {
  if (stato_ != StatoFr::Cancellazione) return;
  stato_ = StatoFr::Fermo;
  t(ms, "cancellazione chip " + nome + " interrotta dal reset dopo " +
            std::to_string(ms - (fineCancellazioneMs_ - config.cancellazioneChipMs)) + " ms: flash invariata");
}

void CChipFrSim::Rispondi(std::vector<UscitaFr>& u, std::vector<std::uint8_t> byte, std::uint32_t ritardoMs) {
  if (byte.empty() && ritardoMs == 0) return;
  u.push_back({std::move(byte), ritardoMs});
}

void CChipFrSim::Rispondi(std::vector<UscitaFr>& u, const std::string& testo, std::uint32_t ritardoMs) {
  Rispondi(u, std::vector<std::uint8_t>(testo.begin(), testo.end()), ritardoMs);
}

std::vector<UscitaFr> CChipFrSim::DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms, CFlashSim& flash,
                                        const std::string& nome, const Traccia& t) {
  std::vector<UscitaFr> u;
  if (n == 0) return u;
  const std::string lato = stato_ == StatoFr::Kernel ? " kernel: " : " bootstrap: ";
  t(ms, "-> " + nome + lato + Esa(dati, n));
  if (stato_ == StatoFr::Fermo || stato_ == StatoFr::Cancellazione) {
    t(ms, std::string("ignorati ") + std::to_string(n) + " byte: " + nome + " " + NomeStato());
    return u;
  }
  if (GuastoFr* g = Guasto(TipoGuastoFr::Silenzio, ParteFr::Tutto)) {
    ++g->usati;
    t(ms, "guasto silenzio " + nome + ": nessuna risposta (" + std::to_string(g->usati) + ")");
    return u;
  }
  if (stato_ == StatoFr::Kernel && ms < sordoFinoMs_) {
    t(ms, "ignorati " + std::to_string(n) + " byte: il kernel di " + nome + " non ascolta per altri " +
              std::to_string(sordoFinoMs_ - ms) + " ms");
    return u;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (chiudi_) break;  // the line is gone: the rest never arrives
    if (stato_ == StatoFr::Kernel) {
      Kernel(dati[i], ms, u, flash, nome, t);
    } else if (stato_ == StatoFr::Bootstrap || stato_ == StatoFr::SoloCheck) {
      Bootstrap(dati[i], ms, u, flash, nome, t);
    } else {
      t(ms, "ignorati " + std::to_string(n - i) + " byte: " + nome + " " + NomeStato());
      break;
    }
    Altera(u, ms, nome, t);
  }
  for (const auto& x : u) {
    if (x.byte.empty()) continue;
    t(ms, "<- " + nome + lato + Esa(x.byte.data(), x.byte.size()) +
              (lato == " kernel: " ? "  " + Testo(x.byte.data(), x.byte.size()) : std::string()) +
              (x.ritardoMs ? " (dopo " + std::to_string(x.ritardoMs) + " ms)" : std::string()));
  }
  return u;
}

void CChipFrSim::Bootstrap(std::uint8_t b, std::int64_t ms, std::vector<UscitaFr>& u, CFlashSim& flash,
                           const std::string& nome, const Traccia& t) {
  (void)flash;
  if (fase_ != Fase::Attesa && ms - ultimoByteMs_ > static_cast<std::int64_t>(config.pausaBootstrapMs)) {
    t(ms, "comando bootstrap incompleto scartato");
    fase_ = Fase::Attesa;
  }
  ultimoByteMs_ = ms;
  switch (fase_) {
    case Fase::Attesa:
      if (b == CHECK_FR) {
        Arrivo("check", u, ms, nome, t);
        if (!Muto(ParteFr::Check, ms, nome, t)) Rispondi(u, std::vector<std::uint8_t>{CHECK_FR_OK});
      } else if (b == PREFISSO_ROM && stato_ == StatoFr::Bootstrap) {
        Rispondi(u, std::vector<std::uint8_t>{ECO_PREFISSO}, config.ecoMs);
        AttesaPc(FINESTRA_ECO_PC_MS);
        fase_ = Fase::Prefisso;
      } else {
        t(ms, "byte ignorato dal " + std::string(stato_ == StatoFr::Bootstrap ? "bootstrap" : "chip vuoto") + ": " +
                  Esa(&b, 1));
      }
      return;
    case Fase::Prefisso:
      campi_.clear();
      if (b == ROM_LEGGI || b == ROM_SCRIVI || b == ROM_CHIAMA) {
        comando_ = b == ROM_LEGGI ? ComandoRomFr::Leggi : b == ROM_SCRIVI ? ComandoRomFr::Scrivi : ComandoRomFr::Chiama;
        Rispondi(u, std::vector<std::uint8_t>{static_cast<std::uint8_t>(ECO_COMANDO | b)}, config.ecoMs);
        AttesaPc(FINESTRA_ECO_PC_MS);
        fase_ = comando_ == ComandoRomFr::Chiama ? Fase::Indirizzo : Fase::Testa;
      } else {
        t(ms, "comando bootstrap sconosciuto " + Esa(&b, 1));
        fase_ = Fase::Attesa;
      }
      return;
    case Fase::Testa:
      campi_.push_back(b);
      if (campi_.size() < 6) return;
      indirizzoRom_ = static_cast<std::uint32_t>(campi_[0] | campi_[1] << 8 | campi_[2] << 16) |
                      static_cast<std::uint32_t>(campi_[3]) << 24;
      lunghezzaRom_ = static_cast<std::uint32_t>(campi_[4] | campi_[5] << 8);
      ricevutiRom_ = 0;
      sommaRom_ = 0;
      if (comando_ == ComandoRomFr::Leggi) {
        fase_ = Fase::Attesa;
        t(ms, "lettura RAM " + Formato("%08lx", indirizzoRom_) + ", " + std::to_string(lunghezzaRom_) + " byte");
        Arrivo("leggi", u, ms, nome, t);
        if (Muto(ParteFr::Leggi, ms, nome, t)) return;
        std::vector<std::uint8_t> r;
        std::uint16_t somma = 0;
        for (std::uint32_t i = 0; i < lunghezzaRom_; ++i) {
          const auto it = ram_.find(indirizzoRom_ + i);
          const std::uint8_t v = it == ram_.end() ? 0x00 : it->second;
          r.push_back(v);
          somma = static_cast<std::uint16_t>(somma + v);
        }
        r.push_back(static_cast<std::uint8_t>(somma & 0xFF));
        r.push_back(static_cast<std::uint8_t>(somma >> 8));
        Rispondi(u, std::move(r));
        return;
      }
      fase_ = Fase::Dati;
      if (lunghezzaRom_ != 0) return;
      [[fallthrough]];
    case Fase::Dati: {
      if (lunghezzaRom_ != 0) {
        ram_[indirizzoRom_ + ricevutiRom_] = b;
        sommaRom_ = static_cast<std::uint16_t>(sommaRom_ + b);
        if (++ricevutiRom_ < lunghezzaRom_) return;
      }
      fase_ = Fase::Attesa;
      t(ms, "scrittura RAM " + Formato("%08lx", indirizzoRom_) + ", " + std::to_string(lunghezzaRom_) +
                " byte, somma " + Formato("%04lx", sommaRom_));
      Arrivo("scrivi", u, ms, nome, t);
      if (Muto(ParteFr::Scrivi, ms, nome, t)) return;
      std::uint16_t somma = sommaRom_;
      if (GuastoFr* g = Guasto(TipoGuastoFr::SommaErrata, ParteFr::Tutto, indirizzoRom_)) {
        ++g->usati;
        somma = static_cast<std::uint16_t>(somma + 0x0101);
        t(ms, "guasto somma errata " + nome + " (" + std::to_string(g->usati) + ")");
      }
      Rispondi(u, std::vector<std::uint8_t>{static_cast<std::uint8_t>(somma & 0xFF), static_cast<std::uint8_t>(somma >> 8)});
      return;
    }
    case Fase::Indirizzo:
      campi_.push_back(b);
      if (campi_.size() < 4) return;
      fase_ = Fase::Attesa;
      AttesaPc(AVVIO_CHIAMATA_PC_MS);
      Arrivo("chiama", u, ms, nome, t);
      if (chiudi_) return;
      Chiama(static_cast<std::uint32_t>(campi_[0] | campi_[1] << 8 | campi_[2] << 16) |
                 static_cast<std::uint32_t>(campi_[3]) << 24,
             ms, nome, t);
      return;
    default:
      fase_ = Fase::Attesa;
      return;
  }
}

bool CChipFrSim::KernelCaricato(std::string& perche) const {
  for (std::uint32_t a = INDIRIZZO_KERNEL_FR; a < INDIRIZZO_KERNEL_FR + LUNGHEZZA_KERNEL_FR; ++a) {
    if (!ram_.count(a)) {
      perche = "kernel incompleto: RAM " + Formato("%08lx", a) + " mai scritta";
      return false;
    }
  }
  for (const auto& c : CELLE_AVVIO) {
    const auto it = ram_.find(c.indirizzo);
    if (it == ram_.end() || it->second != c.valore) {
      perche = "cella " + Formato("%08lx", c.indirizzo) + " = " +
               (it == ram_.end() ? std::string("mai scritta") : Formato("%02lx", it->second)) + ", attesa " +
               Formato("%02lx", c.valore);
      return false;
    }
  }
  return true;
}

void CChipFrSim::Chiama(std::uint32_t indirizzo, std::int64_t ms, const std::string& nome, const Traccia& t) {
  std::string perche;
  if (indirizzo != INDIRIZZO_KERNEL_FR) {
    stato_ = StatoFr::Fermo;
    t(ms, "chiamata a " + Formato("%08lx", indirizzo) + ": " + nome + " non esegue nulla che risponda");
    return;
  }
  if (!KernelCaricato(perche)) {
    stato_ = StatoFr::Fermo;
    t(ms, "chiamata del kernel: si blocca all'avvio (" + perche + ")");
    return;
  }
  stato_ = StatoFr::Kernel;
  fase_ = Fase::Prompt;
  sordoFinoMs_ = ms + config.avvioKernelMs;
  ++avviiKernel_;
  t(ms, "kernel avviato su " + nome + ": " + std::to_string(config.baudKernel) + " bit/s, in ascolto fra " +
            std::to_string(config.avvioKernelMs) + " ms");
}

void CChipFrSim::Kernel(std::uint8_t b, std::int64_t ms, std::vector<UscitaFr>& u, CFlashSim& flash,
                        const std::string& nome, const Traccia& t) {
  if (ms < sordoFinoMs_) {
    t(ms, "byte ignorato dal kernel sordo: " + Esa(&b, 1));
    return;
  }
  const bool muto = fase_ != Fase::Download && fase_ != Fase::RecordTipo && fase_ != Fase::RecordConteggio &&
                    fase_ != Fase::RecordCorpo;
  auto rispondi = [&](const std::string& testo, std::uint32_t ritardo = 0) {
    if (muto && Muto(ParteFr::Kernel, ms, nome, t)) return;
    Rispondi(u, testo, ritardo);
  };
  auto eco = [&](std::uint8_t c) { Rispondi(u, std::vector<std::uint8_t>{c}); };
  switch (fase_) {
    case Fase::Prompt:
      switch (b) {
        case 'V':
          Arrivo("checkKernel", u, ms, nome, t);
          rispondi("F");
          return;
        case CR:
          Arrivo("sync", u, ms, nome, t);
          if (GuastoFr* g = Guasto(TipoGuastoFr::SyncTardivo)) {
            ++g->usati;
            sordoFinoMs_ = ms + g->ritardoMs;
            t(ms, "guasto sync tardivo " + nome + ": prompt fra " + std::to_string(g->ritardoMs) +
                      " ms, sordo fino ad allora (" + std::to_string(g->usati) + ")");
            rispondi(" >", g->ritardoMs);
          } else {
            rispondi(" >");
          }
          return;
        case 'b': {
          if (minimo_) minimo_->PausaDopoProssimaRichiesta(PAUSA_DOPO_BLANK_PC_MS);
          Arrivo("blank", u, ms, nome, t);
          std::string r = " checking ...";
          for (int s = 0; s < 6; ++s)
            r += flash.Vuoto(SETTORI_KERNEL_FR[s], SETTORI_KERNEL_FR[s + 1]) ? "1\r\n" : "0\r\n";
          rispondi(r, config.blankMs);
          return;
        }
        case 's':
          Arrivo("eraseInit", u, ms, nome, t);
          riga_.clear();
          fase_ = Fase::Settore;
          rispondi("\r\n sector : ");
          return;
        case 'n':
          Arrivo("writeInit", u, ms, nome, t);
          riga_.clear();
          fase_ = Fase::Riga;
          rispondi("\r\n data ...\r\n");
          return;
        case 'r':
          Arrivo("readInit", u, ms, nome, t);
          riga_.clear();
          fase_ = Fase::LetturaIndirizzo;
          rispondi("\r\nADDR:");
          return;
        case 'p':
          Arrivo("prog32Init", u, ms, nome, t);
          riga_.clear();
          fase_ = Fase::Prog32Indirizzo;
          rispondi("\r\nADDR:");
          return;
        default:
          // 'R' of the sync and anything else the kernel does not know.
          t(ms, "kernel: carattere ignorato " + Esa(&b, 1));
          return;
      }
    case Fase::Settore:
      if (b != CR) {
        if (std::isdigit(b) && riga_.size() < 2) {
          riga_ += static_cast<char>(b);
          eco(b);
        }
        return;
      }
      fase_ = Fase::Prompt;
      Arrivo("erase", u, ms, nome, t);
      if (riga_.size() != 2 || std::stoi(riga_) > 5) {
        t(ms, "kernel: settore non valido \"" + riga_ + "\"");
        rispondi("\r\n NG \r\n>");
        return;
      } else {
        const int s = std::stoi(riga_);
        flash.CancellaDiretto(SETTORI_KERNEL_FR[s]);
        t(ms, "kernel: cancellato il settore " + riga_ + " a " + Formato("%06lx", SETTORI_KERNEL_FR[s]));
        if (muto && Muto(ParteFr::Kernel, ms, nome, t)) return;
        Rispondi(u, "\r\n address=" + Formato("%08lX", SETTORI_KERNEL_FR[s]) + "\r\n Low erasing...\r\n");
        Rispondi(u, " High erasing...\r\n", config.eraseMs / 2);
        Rispondi(u, " OK \r\n", config.eraseMs - config.eraseMs / 2);
      }
      return;
    case Fase::Riga:
      if (b != CR) {
        if (riga_.size() < 32) riga_ += static_cast<char>(b);
        eco(b);
        return;
      }
      Arrivo("writeMode", u, ms, nome, t);
      if (riga_ == "HEXDWL") {
        fase_ = Fase::Download;
        crDownload_ = 0;
        t(ms, "kernel: modo download esadecimale");
      } else {
        fase_ = Fase::Prompt;
        t(ms, "kernel: modo di scrittura sconosciuto \"" + riga_ + "\"");
        rispondi("\r\n NG \r\n>");
      }
      return;
    case Fase::Download:
      if (b == CR) {
        if (++crDownload_ == CR_FINE_DOWNLOAD) {
          fase_ = Fase::Prompt;
          Arrivo("quit", u, ms, nome, t);
          t(ms, "kernel: fine download");
          if (!Muto(ParteFr::Kernel, ms, nome, t)) Rispondi(u, ">");
        } else {
          AttesaPc(PAUSA_CR_PC_MS);
        }
        return;
      }
      crDownload_ = 0;
      if (b == 'S') fase_ = Fase::RecordTipo;
      else t(ms, "kernel download: byte ignorato " + Esa(&b, 1));
      return;
    case Fase::RecordTipo:
      if (b == '2') {
        fase_ = Fase::RecordConteggio;
      } else {
        t(ms, "kernel download: record S" + std::string(1, static_cast<char>(b)) + " non gestito");
        Rispondi(u, std::vector<std::uint8_t>{NAK});
        fase_ = Fase::Download;
      }
      return;
    case Fase::RecordConteggio:
      record_.assign(1, b);
      conteggioRecord_ = b;
      fase_ = conteggioRecord_ ? Fase::RecordCorpo : Fase::Download;
      if (!conteggioRecord_) Rispondi(u, std::vector<std::uint8_t>{NAK});
      return;
    case Fase::RecordCorpo: {
      record_.push_back(b);
      if (record_.size() < conteggioRecord_ + 1) return;
      fase_ = Fase::Download;
      Arrivo("record", u, ms, nome, t);
      std::uint8_t somma = 0;
      for (std::size_t i = 0; i + 1 < record_.size(); ++i) somma = static_cast<std::uint8_t>(somma + record_[i]);
      const std::uint32_t indirizzo = static_cast<std::uint32_t>(record_[1] << 16 | record_[2] << 8 | record_[3]);
      if (conteggioRecord_ < 4 || static_cast<std::uint8_t>(~somma) != record_.back()) {
        t(ms, "kernel download: record a " + Formato("%06lx", indirizzo) + " con somma errata");
        Rispondi(u, std::vector<std::uint8_t>{NAK});
        return;
      }
      std::vector<std::uint8_t> dati(record_.begin() + 4, record_.end() - 1);
      if (Muto(ParteFr::Kernel, ms, nome, t)) return;
      if (GuastoFr* g = Guasto(TipoGuastoFr::Nak)) {
        ++g->usati;
        t(ms, "guasto nak " + nome + " (" + std::to_string(g->usati) + ")");
        Rispondi(u, std::vector<std::uint8_t>{NAK});
        return;
      }
      if (bitInvertito_ && !dati.empty()) {
        const std::size_t k = std::min<std::size_t>(static_cast<std::size_t>(bitInvertito_->posizione), dati.size() - 1);
        dati[k] ^= static_cast<std::uint8_t>(1u << (bitInvertito_->bit & 7));
        t(ms, "bit invertito: " + Formato("%06lx", indirizzo + k) + " scritto " + Formato("%02lx", dati[k]));
      }
      if (GuastoFr* g = Guasto(TipoGuastoFr::ByteErrato); g && !dati.empty()) {
        ++g->usati;
        const std::size_t k = g->posizione % dati.size();
        dati[k] ^= static_cast<std::uint8_t>(1u << (g->bit & 7));
        t(ms, "guasto byte errato " + nome + ": " + Formato("%06lx", indirizzo + k) + " scritto " +
                  Formato("%02lx", dati[k]) + " (" + std::to_string(g->usati) + ")");
      }
      const EsitoFlash e = flash.ScriviDiretto(indirizzo, dati.data(), dati.size());
      const bool ok = e == EsitoFlash::Ok || e == EsitoFlash::AreaVettori;
      t(ms, "kernel: S2 " + Formato("%06lx", indirizzo) + ", " + std::to_string(dati.size()) + " byte" +
                (ok ? "" : e == EsitoFlash::FuoriMappa ? ": fuori dalla flash" : ": bit da riportare a 1, verifica fallita"));
      Rispondi(u, std::vector<std::uint8_t>{ok ? ACK : NAK});
      return;
    }
    case Fase::LetturaIndirizzo:
    case Fase::Prog32Indirizzo:
    case Fase::Prog32Dato:
    case Fase::LetturaConteggio: {
      riga_ += static_cast<char>(b);
      eco(b);
      const std::size_t attesi = fase_ == Fase::LetturaConteggio ? 3 : 8;
      if (riga_.size() < attesi) return;
      std::uint32_t v = 0;
      const bool valido = Esadecimale(riga_, v);
      const Fase f = fase_;
      Arrivo(f == Fase::LetturaIndirizzo   ? "readAddr"
             : f == Fase::LetturaConteggio ? "readNum"
             : f == Fase::Prog32Indirizzo  ? "prog32Addr"
                                           : "prog32Dato",
             u, ms, nome, t);
      riga_.clear();
      fase_ = Fase::Prompt;
      if (!valido) {
        t(ms, "kernel: cifre esadecimali non valide");
        rispondi("\r\n NG \r\n>");
        return;
      }
      if (f == Fase::LetturaIndirizzo) {
        indirizzoKernel_ = v;
        fase_ = Fase::LetturaConteggio;
        rispondi("\r\nLEN:");
      } else if (f == Fase::Prog32Indirizzo) {
        indirizzoKernel_ = v;
        fase_ = Fase::Prog32Dato;
        rispondi("\r\nDATA:");
      } else if (f == Fase::LetturaConteggio) {
        std::string r = "\r\n\r\n Reading " + Formato("%03lX", v) + "h bytes from address " +
                        Formato("%08lX", indirizzoKernel_) + " : \r\n\r\n\r\n";
        for (std::uint32_t i = 0; i < v; i += 16) {
          r += Formato("%08lX", indirizzoKernel_ + i) + " : ";
          for (std::uint32_t k = i; k < v && k < i + 16; ++k) r += Formato("%02lX ", flash.Leggi(indirizzoKernel_ + k));
          r += "\r\n";
        }
        rispondi(r + ">");
      } else {
        const std::uint8_t parola[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                        static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
        bool ok = indirizzoKernel_ % 4 == 0;
        if (ok) {
          const EsitoFlash e = flash.ScriviDiretto(indirizzoKernel_, parola, 4);
          ok = e == EsitoFlash::Ok || e == EsitoFlash::AreaVettori;
        }
        t(ms, "kernel: Prog32 " + Formato("%08lx", indirizzoKernel_) + " = " + Esa(parola, 4) +
                  (ok ? "" : ": rifiutato (indirizzo non allineato, fuori dalla flash o parola non cancellata)"));
        rispondi(ok ? "\r\n OK \r\n>" : "\r\n NG \r\n>", config.prog32Ms);
      }
      return;
    }
    default:
      fase_ = Fase::Prompt;
      return;
  }
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> CChipFrSim::IntervalliRam() const {
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> r;
  std::uint64_t prossimo = 0;
  for (const auto& [a, v] : ram_) {
    if (r.empty() || a != prossimo) r.emplace_back(a, std::vector<std::uint8_t>{});
    r.back().second.push_back(v);
    prossimo = static_cast<std::uint64_t>(a) + 1;
  }
  return r;
}

}  // namespace bricola::sim
