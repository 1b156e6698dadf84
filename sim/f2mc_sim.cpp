#include "sim/f2mc_sim.h"

#include <algorithm>
#include <cstdio>

#include "sim/protocollo_sim.h"

namespace bricola::sim {

namespace {

// F2MC-16LX bootstrap: check and its answer, block and execute, acknowledge.
constexpr std::uint8_t LX_CHECK = 0x18;
constexpr std::uint8_t LX_CHECK_OK = 0x11;
constexpr std::uint8_t LX_BLOCCO = 0x00;
constexpr std::uint8_t LX_ESEGUI = 0x40;
constexpr double PAUSA_ESECUZIONE_PC_MS = 200;
constexpr std::uint8_t LX_BLOCCO_OK = 0x01;
constexpr std::uint8_t LX_BLOCCO_ERRATO = 0x00;

// F2MC-16FX bootstrap.
constexpr std::uint8_t FX_CHECK[5] = {0x00, 0x55, 0x66, 0x77, 0x88};
constexpr std::uint8_t FX_CALIBRA[5] = {0x00, 0x55, 0x87, 0x00, 0x78};
constexpr std::uint8_t FX_ESEGUI[5] = {0x9F, 0x20, 0x7A, 0x00, 0xC5};
constexpr std::uint8_t FX_BLOCCO = 0x12;
constexpr std::uint8_t FX_OK = 'i';
constexpr std::uint8_t FX_CONTROLLO_ERRATO = '<';

// The micro-query loader.
constexpr std::uint8_t MICRO_DOMANDA = 0xA5;
constexpr std::uint8_t MICRO_RISPOSTA = 0xA6;

// Loader commands only the RAM loaders know.
constexpr std::uint8_t CMD_ERASE_CHIP = 0xEF;
constexpr std::uint32_t INDIRIZZO_ERASE_CHIP = 0xF80000;

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

std::string Formato(const char* f, unsigned long v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

// 0xFF minus the folded sum of the bytes (16FX header and frame checks).
std::uint8_t ControlloFx(const std::uint8_t* d, std::size_t n) {
  std::uint32_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += d[i];
  while (s >= 256) s = ((s >> 16) & 0xFF) + ((s >> 8) & 0xFF) + (s & 0xFF);
  return static_cast<std::uint8_t>(0xFF - s);
}

std::uint32_t Le(const std::vector<std::uint8_t>& r, std::size_t pos, int n) {
  std::uint32_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | r[pos + static_cast<std::size_t>(i)];
  return v;
}

std::vector<std::uint8_t> Risposta(std::vector<std::uint8_t> r) {
  AggiungiControlloRisposta(r);
  return r;
}

// Blank, Erase, EraseChip: the command byte, then a checked frame of command and result.
std::vector<std::uint8_t> RispostaDoppia(std::uint8_t comando, std::uint8_t esito) {
  std::vector<std::uint8_t> r = Risposta({comando, esito});
  r.insert(r.begin(), comando);
  return r;
}

const char* NomeRichiesta(std::uint8_t c) {
  switch (c) {
    case CMD_LUN_BUF: return "LunBuf";
    case CMD_BLANK: return "Blank";
    case CMD_ERASE: return "Erase";
    case CMD_WRITE: return "Write";
    case CMD_READ: return "Read";
    case CMD_GET_FIRMA: return "GetFirma";
    case CMD_ESTESO: return "GetMicro";
    case CMD_ERASE_CHIP: return "EraseChip";
    default: return "Sconosciuto";
  }
}

}  // namespace

const char* NomeCaricatore(CaricatoreF2mc c) {
  switch (c) {
    case CaricatoreF2mc::Nessuno: return "nessuno";
    case CaricatoreF2mc::Mb90F549: return "mb90f549";
    case CaricatoreF2mc::Mb90F497: return "mb90f497";
    case CaricatoreF2mc::Mb90F345: return "mb90f345";
    case CaricatoreF2mc::MicroQuery: return "checkmicro";
    case CaricatoreF2mc::Mb96F338: return "mb96f338";
    case CaricatoreF2mc::Ignoto: return "ignoto";
  }
  return "?";
}

CChipF2mcSim::CChipF2mcSim(ConfigF2mc c) : config(std::move(c)) {
  if (config.accensioneConRts) stato_ = StatoF2mc::Spento;
}

std::uint8_t CChipF2mcSim::TipoMicro() const {
  switch (config.micro) {
    case 'Q': return 1;
    case 'S': return 2;
    case 'R': return 4;
    case 'T': return 6;
    default: return 0;
  }
}

const char* CChipF2mcSim::NomeStato() const {
  switch (stato_) {
    case StatoF2mc::Spento: return "spento";
    case StatoF2mc::Flash: return "flash";
    case StatoF2mc::Bootstrap: return "bootstrap";
    case StatoF2mc::Caricatore: return "caricatore";
    case StatoF2mc::Fermo: return "fermo";
  }
  return "?";
}

std::uint32_t CChipF2mcSim::Baud() const {
  if (stato_ == StatoF2mc::Caricatore) {
    if (config.baudCaricatore) return config.baudCaricatore;
    switch (caricatore_) {
      case CaricatoreF2mc::Mb90F345:
      case CaricatoreF2mc::Mb96F338: return 38400;
      default: return 9600;
    }
  }
  if (stato_ == StatoF2mc::Flash) return BAUD_BOOT;
  if (config.baudBootstrap) return config.baudBootstrap;
  return Famiglia() == FamigliaF2mc::Fx ? 19200 : 4800;
}

namespace {

// Faults aimed at one kind of message (the others are placed by block or address).
bool PerParte(TipoGuastoF2mc t) {
  return t != TipoGuastoF2mc::BloccoErrato && t != TipoGuastoF2mc::ByteErrato;
}

}  // namespace

GuastoF2mc* CChipF2mcSim::Guasto(TipoGuastoF2mc tipo, const std::string& parte) {
  for (auto& g : config.guasti) {
    if (g.tipo != tipo) continue;
    if (PerParte(tipo) && g.parte != "*" && g.parte != parte) continue;
    // Let through on this message's arrival (Muto counted it).
    if (std::find(saltatiOra_.begin(), saltatiOra_.end(), &g) != saltatiOra_.end()) continue;
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    return &g;
  }
  return nullptr;
}

bool CChipF2mcSim::Muto(const std::string& parte, std::int64_t ms, const std::string& nome, const Traccia& t) {
  // A message of this kind has arrived: every fault aimed at it counts it, and
  // those past their `dopo` and with uses left apply (the first of each type).
  parteAttiva_ = parte;
  saltatiOra_.clear();
  nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
  GuastoF2mc* silenzio = nullptr;
  GuastoF2mc* chiusura = nullptr;
  for (auto& g : config.guasti) {
    if (!PerParte(g.tipo)) continue;
    if (g.parte != "*" && g.parte != parte) continue;
    if (g.saltati < g.dopo) {
      ++g.saltati;
      saltatiOra_.push_back(&g);
      continue;
    }
    if (g.tipo == TipoGuastoF2mc::Stato) continue;  // applied by the loader command itself
    if (g.volte >= 0 && g.usati >= g.volte) continue;
    GuastoF2mc** posto = nullptr;
    switch (g.tipo) {
      case TipoGuastoF2mc::Silenzio: posto = &silenzio; break;
      case TipoGuastoF2mc::Chiusura: posto = &chiusura; break;
      case TipoGuastoF2mc::Nack: posto = &nack_; break;
      case TipoGuastoF2mc::Controllo: posto = &controllo_; break;
      case TipoGuastoF2mc::BitRisposta: posto = &bitRisposta_; break;
      case TipoGuastoF2mc::BitInvertito: posto = &bitInvertito_; break;
      default: break;
    }
    if (posto && !*posto) *posto = &g;
  }
  auto usa = [&](GuastoF2mc* g, const char* testo) {
    ++g->usati;
    t(ms, std::string("guasto ") + testo + " " + nome + " " + parte + " (" + std::to_string(g->usati) + ")");
  };
  if (chiusura) {
    usa(chiusura, "chiusura");
    chiudi_ = true;
    nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
    return true;
  }
  if (silenzio) {
    usa(silenzio, "silenzio");
    nack_ = controllo_ = bitRisposta_ = bitInvertito_ = nullptr;
    return true;
  }
  if (bitInvertito_ && parte != "Write") bitInvertito_ = nullptr;
  if (bitInvertito_) usa(bitInvertito_, "bit invertito");
  return false;
}

void CChipF2mcSim::Anomalia(std::int64_t ms, const std::string& testo, const Traccia& t) {
  anomalie_.push_back(testo);
  t(ms, "anomalia: " + testo);
}

void CChipF2mcSim::Emetti(std::vector<UscitaF2mc>& u, const std::string& tipo, std::vector<std::uint8_t> byte,
                          std::int64_t ms, const std::string& nome, const Traccia& t, std::uint32_t ritardoMs) {
  if (tipo == parteAttiva_ && !byte.empty()) {
    auto usa = [&](GuastoF2mc* g, const char* testo) {
      ++g->usati;
      t(ms, std::string("guasto ") + testo + " " + nome + " " + tipo + " (" + std::to_string(g->usati) + ")");
    };
    if (nack_) {
      usa(nack_, "nack");
      // A loader refuses with F9; the bootstrap answers its error byte.
      const bool caricatore = stato_ == StatoF2mc::Caricatore;
      byte.assign(1, caricatore ? NACK : Famiglia() == FamigliaF2mc::Fx ? FX_CONTROLLO_ERRATO : 0x00);
    } else {
      if (controllo_) {
        usa(controllo_, "controllo");
        byte.back() ^= 0x01;
      }
      if (bitRisposta_) {
        usa(bitRisposta_, "bit risposta");
        const std::size_t pos = std::min<std::size_t>(bitRisposta_->posizione, byte.size() - 1);
        byte[pos] ^= static_cast<std::uint8_t>(1u << (bitRisposta_->bit & 7));
      }
    }
    parteAttiva_.clear();
    nack_ = controllo_ = bitRisposta_ = nullptr;
  }
  t(ms, "<- " + nome + " " + tipo + ": " + Esa(byte.data(), byte.size()) +
            (ritardoMs ? " (dopo " + std::to_string(ritardoMs) + " ms)" : std::string()));
  u.push_back({std::move(byte), ritardoMs});
}

void CChipF2mcSim::Reset(bool conRts, std::int64_t ms, const std::string& nome, const Traccia& t) {
  fase_ = Fase::Attesa;
  messaggio_.clear();
  attesi_ = 0;
  sincronizzato_ = false;
  calibrato_ = false;
  settoriPronti_.clear();
  ultimoByteMs_ = ms;
  if (conRts) {
    // A new RAM load starts; what the last one left stays for the dump until then.
    blocchi_ = 0;
    ram_.clear();
    caricatore_ = CaricatoreF2mc::Nessuno;
  }
  sordoFinoMs_ = ms + config.accesaDopoMs;
  const std::string ritardo =
      config.accesaDopoMs ? ", alimentata fra " + std::to_string(config.accesaDopoMs) + " ms" : std::string();
  if (conRts) {
    stato_ = StatoF2mc::Bootstrap;
    t(ms, "reset " + nome + ": bootstrap ROM " + (Famiglia() == FamigliaF2mc::Fx ? "F2MC-16FX" : "F2MC-16LX") +
              " a " + std::to_string(Baud()) + ritardo);
  } else {
    stato_ = StatoF2mc::Flash;
    t(ms, "reset " + nome + ": programma in flash" +
              (config.bootResidente ? std::string(" (boot residente a 38400)") : std::string(" (nessun boot)")) +
              ritardo);
  }
}

std::vector<UscitaF2mc> CChipF2mcSim::DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms,
                                            CFlashSim& flash, const std::string& nome, const Traccia& t) {
  std::vector<UscitaF2mc> u;
  if (n == 0) return u;
  if (stato_ == StatoF2mc::Spento || stato_ == StatoF2mc::Flash || stato_ == StatoF2mc::Fermo) {
    t(ms, "ignorati " + std::to_string(n) + " byte: " + nome + " " + NomeStato() + ": " + Esa(dati, n));
    return u;
  }
  if (ms < sordoFinoMs_) {
    t(ms, "ignorati " + std::to_string(n) + " byte: " + nome + " " +
              (stato_ == StatoF2mc::Caricatore ? "caricatore non ancora avviato" : "non ancora alimentata") +
              " (altri " + std::to_string(sordoFinoMs_ - ms) + " ms): " + Esa(dati, n));
    return u;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (fase_ != Fase::Attesa && ms - ultimoByteMs_ > static_cast<std::int64_t>(config.pausaMs)) {
      t(ms, "messaggio incompleto scartato: " + Esa(messaggio_.data(), messaggio_.size()));
      fase_ = Fase::Attesa;
      messaggio_.clear();
      attesi_ = 0;
    }
    ultimoByteMs_ = ms;
    if (chiudi_) break;  // the line is gone: the rest never arrives
    if (stato_ == StatoF2mc::Bootstrap) {
      if (Famiglia() == FamigliaF2mc::Lx) BootstrapLx(dati[i], ms, u, nome, t);
      else BootstrapFx(dati[i], ms, u, nome, t);
    } else if (stato_ == StatoF2mc::Caricatore) {
      if (ms < sordoFinoMs_) {
        t(ms, "ignorati " + std::to_string(n - i) + " byte: caricatore non ancora avviato");
        break;
      }
      Caricatore(dati[i], ms, u, flash, nome, t);
    } else {
      t(ms, "ignorati " + std::to_string(n - i) + " byte: " + nome + " " + NomeStato() + ": " +
                Esa(dati + i, n - i));
      break;
    }
  }
  return u;
}

void CChipF2mcSim::BootstrapLx(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, const std::string& nome,
                               const Traccia& t) {
  if (fase_ == Fase::Attesa) {
    messaggio_.assign(1, b);
    if (b == LX_CHECK) {
      t(ms, "-> " + nome + " check: 18");
      if (Muto("check", ms, nome, t)) return;
      sincronizzato_ = true;
      Emetti(u, "check", {LX_CHECK_OK}, ms, nome, t);
      return;
    }
    if (b == LX_BLOCCO || b == LX_ESEGUI) {
      fase_ = Fase::Testa;
      attesi_ = 5;
      return;
    }
    t(ms, "byte ignorato dal bootstrap: " + Esa(&b, 1));
    return;
  }
  messaggio_.push_back(b);
  if (fase_ == Fase::Testa && messaggio_.size() == 5) {
    if (messaggio_[0] == LX_ESEGUI) {
      fase_ = Fase::Attesa;
      // The PC gives the RAM loader 200 ms from its execute before it changes speed.
      if (minimo_) minimo_->PausaDallaRichiesta(PAUSA_ESECUZIONE_PC_MS);
      t(ms, "-> " + nome + " esecuzione: " + Esa(messaggio_.data(), messaggio_.size()));
      if (messaggio_[1] || messaggio_[2] || messaggio_[3] || messaggio_[4]) {
        Anomalia(ms, "esecuzione con byte non nulli: " + Esa(messaggio_.data(), 5), t);
        return;
      }
      if (!sincronizzato_) {
        t(ms, "esecuzione ignorata: nessun check prima");
        return;
      }
      if (Muto("esecuzione", ms, nome, t)) return;
      Esegui(ms, nome, t);
      return;
    }
    fase_ = Fase::Dati;
    attesi_ = 5u + messaggio_[4] + 1u;
    if (messaggio_[4] == 0) Anomalia(ms, "blocco di lunghezza 0", t);
    return;
  }
  if (fase_ == Fase::Dati && messaggio_.size() == attesi_) {
    fase_ = Fase::Attesa;
    t(ms, "-> " + nome + " blocco: " + Esa(messaggio_.data(), messaggio_.size()));
    std::uint8_t somma = 0;
    for (std::size_t i = 0; i + 1 < messaggio_.size(); ++i) somma = static_cast<std::uint8_t>(somma + messaggio_[i]);
    const bool buono = somma == messaggio_.back() && messaggio_[3] == 0x00;
    if (!sincronizzato_) {
      t(ms, "blocco ignorato: nessun check prima");
      return;
    }
    const std::uint32_t indirizzo = static_cast<std::uint32_t>(messaggio_[1] << 8 | messaggio_[2]);
    Blocco(indirizzo, messaggio_.data() + 5, messaggio_[4], buono, LX_BLOCCO_OK, LX_BLOCCO_ERRATO, ms, u, nome, t);
  }
}

void CChipF2mcSim::BootstrapFx(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, const std::string& nome,
                               const Traccia& t) {
  if (fase_ == Fase::Attesa) {
    messaggio_.assign(1, b);
    if (b == FX_CHECK[0] || b == FX_ESEGUI[0]) {
      fase_ = Fase::Testa;
      attesi_ = 5;
    } else if (b == FX_BLOCCO) {
      fase_ = Fase::Testa;
      attesi_ = 6;
    } else {
      t(ms, "byte ignorato dal bootstrap: " + Esa(&b, 1));
    }
    return;
  }
  messaggio_.push_back(b);
  if (fase_ == Fase::Testa && messaggio_.size() == attesi_) {
    const auto uguale = [&](const std::uint8_t* m) { return std::equal(m, m + 5, messaggio_.begin()); };
    if (messaggio_[0] != FX_BLOCCO) {
      fase_ = Fase::Attesa;
      if (uguale(FX_CHECK)) {
        t(ms, "-> " + nome + " check: " + Esa(messaggio_.data(), 5));
        if (Muto("check", ms, nome, t)) return;
        sincronizzato_ = true;
        Emetti(u, "check", {config.rispostaCheckFx}, ms, nome, t);
      } else if (uguale(FX_CALIBRA)) {
        t(ms, "-> " + nome + " calibrazione: " + Esa(messaggio_.data(), 5));
        if (!sincronizzato_) {
          t(ms, "calibrazione ignorata: nessun check prima");
          return;
        }
        if (Muto("calibrazione", ms, nome, t)) return;
        calibrato_ = true;
        Emetti(u, "calibrazione", {FX_OK}, ms, nome, t);
      } else if (uguale(FX_ESEGUI)) {
        t(ms, "-> " + nome + " esecuzione: " + Esa(messaggio_.data(), 5));
        if (!calibrato_) {
          t(ms, "esecuzione ignorata: nessuna calibrazione prima");
          return;
        }
        if (Muto("esecuzione", ms, nome, t)) return;
        Emetti(u, "esecuzione", {FX_OK}, ms, nome, t);
        Esegui(ms, nome, t);
      } else {
        t(ms, "-> " + nome + " sconosciuto: " + Esa(messaggio_.data(), 5));
        Emetti(u, "sconosciuto", {FX_CONTROLLO_ERRATO}, ms, nome, t);
      }
      return;
    }
    // Block header: 12, address low, high, 00, length (0 = 256), header check.
    fase_ = Fase::Dati;
    attesi_ = 6u + (messaggio_[4] ? messaggio_[4] : 256u) + 1u;
    return;
  }
  if (fase_ == Fase::Dati && messaggio_.size() == attesi_) {
    fase_ = Fase::Attesa;
    t(ms, "-> " + nome + " blocco: " + Esa(messaggio_.data(), messaggio_.size()));
    if (!calibrato_) {
      t(ms, "blocco ignorato: nessuna calibrazione prima");
      return;
    }
    const bool buono = ControlloFx(messaggio_.data(), 5) == messaggio_[5] &&
                       ControlloFx(messaggio_.data(), messaggio_.size() - 1) == messaggio_.back() &&
                       messaggio_[3] == 0x00;
    const std::uint32_t indirizzo = static_cast<std::uint32_t>(messaggio_[1] | messaggio_[2] << 8);
    Blocco(indirizzo, messaggio_.data() + 6, messaggio_.size() - 7, buono, FX_OK, FX_CONTROLLO_ERRATO, ms, u, nome, t);
  }
}

void CChipF2mcSim::Blocco(std::uint32_t indirizzo, const std::uint8_t* dati, std::size_t n, bool buono,
                          std::uint8_t ok, std::uint8_t errato, std::int64_t ms, std::vector<UscitaF2mc>& u,
                          const std::string& nome, const Traccia& t) {
  const int indice = blocchi_++;
  if (!buono) {
    t(ms, "blocco " + std::to_string(indice) + " a " + Formato("%04lx", indirizzo) + ": controllo errato");
    if (!Muto("blocco", ms, nome, t)) Emetti(u, "blocco", {errato}, ms, nome, t);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) ram_[static_cast<std::uint32_t>(indirizzo + i)] = dati[i];
  t(ms, "blocco " + std::to_string(indice) + ": RAM " + Formato("%04lx", indirizzo) + ", " + std::to_string(n) +
            " byte");
  if (Muto("blocco", ms, nome, t)) return;
  std::uint8_t risposta = ok;
  for (auto& g : config.guasti) {
    if (g.tipo != TipoGuastoF2mc::BloccoErrato || (g.volte >= 0 && g.usati >= g.volte)) continue;
    if (g.blocco >= 0 && g.blocco != indice) continue;
    ++g.usati;
    risposta = g.risposta;
    t(ms, "guasto blocco errato " + nome + ": risposta " + Esa(&risposta, 1) + " (" + std::to_string(g.usati) + ")");
    break;
  }
  Emetti(u, "blocco", {risposta}, ms, nome, t);
}

void CChipF2mcSim::Esegui(std::int64_t ms, const std::string& nome, const Traccia& t) {
  // What is in RAM, as contiguous runs.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pezzi;
  for (const auto& [a, v] : ram_) {
    (void)v;
    if (!pezzi.empty() && pezzi.back().first + pezzi.back().second == a) ++pezzi.back().second;
    else pezzi.emplace_back(a, 1);
  }
  using P = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  CaricatoreF2mc c = CaricatoreF2mc::Ignoto;
  if (Famiglia() == FamigliaF2mc::Lx) {
    if (pezzi == P{{0x0251, 1534}, {0x0990, 198}}) c = CaricatoreF2mc::Mb90F549;
    else if (pezzi == P{{0x0190, 1732}}) c = CaricatoreF2mc::Mb90F497;
    else if (pezzi == P{{0x0190, 1757}}) c = CaricatoreF2mc::Mb90F345;
    else if (pezzi == P{{0x0190, 556}, {0x0990, 198}}) c = CaricatoreF2mc::MicroQuery;
  } else if (pezzi == P{{0x7900, 1732}}) {
    c = CaricatoreF2mc::Mb96F338;
  }
  std::string ram;
  for (const auto& [a, n] : pezzi) ram += (ram.empty() ? "" : ", ") + std::to_string(n) + " byte a " + Formato("%04lx", a);
  caricatore_ = c;
  fase_ = Fase::Attesa;
  messaggio_.clear();
  if (c == CaricatoreF2mc::Ignoto) {
    stato_ = StatoF2mc::Fermo;
    t(ms, "esecuzione: in RAM " + (ram.empty() ? std::string("nulla") : ram) + ": nessun caricatore noto, " + nome +
              " non risponde piu'");
    return;
  }
  stato_ = StatoF2mc::Caricatore;
  sordoFinoMs_ = ms + config.avvioCaricatoreMs;
  settoriPronti_.clear();
  t(ms, "esecuzione: caricatore " + std::string(NomeCaricatore(c)) + " (" + ram + ") a " + std::to_string(Baud()) +
            " bit/s, in ascolto fra " + std::to_string(config.avvioCaricatoreMs) + " ms");
}

void CChipF2mcSim::Caricatore(std::uint8_t b, std::int64_t ms, std::vector<UscitaF2mc>& u, CFlashSim& flash,
                              const std::string& nome, const Traccia& t) {
  if (caricatore_ == CaricatoreF2mc::MicroQuery) {
    if (b != MICRO_DOMANDA) {
      t(ms, "byte ignorato dal caricatore checkmicro: " + Esa(&b, 1));
      return;
    }
    t(ms, "-> " + nome + " micro: a5");
    if (Muto("micro", ms, nome, t)) return;
    Emetti(u, "micro", {MICRO_RISPOSTA, static_cast<std::uint8_t>(config.micro)}, ms, nome, t);
    return;
  }
  if (fase_ == Fase::Attesa) {
    messaggio_.clear();
    attesi_ = 0;
    switch (b) {
      case CMD_LUN_BUF: case CMD_GET_FIRMA: attesi_ = 4; break;
      case CMD_BLANK: attesi_ = 10; break;
      case CMD_ERASE: case CMD_ERASE_CHIP: attesi_ = 7; break;
      case CMD_READ: attesi_ = 9; break;
      case CMD_ESTESO: attesi_ = 5; break;
      case CMD_WRITE: attesi_ = 0; break;
      default:
        t(ms, "byte ignorato dal caricatore " + std::string(NomeCaricatore(caricatore_)) + ": " + Esa(&b, 1));
        return;
    }
    fase_ = Fase::Comando;
  }
  messaggio_.push_back(b);
  if (messaggio_[0] == CMD_WRITE && attesi_ == 0 && messaggio_.size() == 6)
    attesi_ = 9u + static_cast<std::size_t>(messaggio_[4] | messaggio_[5] << 8);
  if (attesi_ == 0 || messaggio_.size() < attesi_) return;
  fase_ = Fase::Attesa;
  Richiesta(ms, u, flash, nome, t);
  messaggio_.clear();
}

void CChipF2mcSim::Richiesta(std::int64_t ms, std::vector<UscitaF2mc>& u, CFlashSim& flash, const std::string& nome,
                             const Traccia& t) {
  const std::vector<std::uint8_t>& r = messaggio_;
  const std::string cmd = NomeRichiesta(r[0]);
  t(ms, "-> " + nome + " " + cmd + ": " + Esa(r.data(), r.size()));
  if (HashRuota5(r.data(), r.size()) != 0) {
    t(ms, "controllo errato");
    Emetti(u, cmd, {NACK}, ms, nome, t);
    return;
  }
  if (r[0] == CMD_ESTESO && r[1] != SUB_GET_MICRO) {
    t(ms, "sotto-comando sconosciuto al caricatore: " + Esa(&r[1], 1));
    return;
  }
  if (r[0] == CMD_ERASE_CHIP && caricatore_ != CaricatoreF2mc::Mb90F345) {
    t(ms, "EraseChip sconosciuto al caricatore " + std::string(NomeCaricatore(caricatore_)));
    return;
  }
  if (Muto(cmd, ms, nome, t)) return;
  std::uint8_t sostituto = 0;
  bool sostituisci = false;
  if (GuastoF2mc* g = Guasto(TipoGuastoF2mc::Stato, cmd)) {
    ++g->usati;
    sostituto = g->stato;
    sostituisci = true;
    t(ms, "guasto stato " + nome + " " + cmd + " (" + std::to_string(g->usati) + ")");
  }
  auto esito = [&](std::uint8_t e) { return sostituisci ? sostituto : e; };
  const auto settore = [&](std::uint32_t a) { return flash.TrovaSettore(a); };
  switch (r[0]) {
    case CMD_LUN_BUF:
      Emetti(u, cmd, Risposta({CMD_LUN_BUF, config.bufferCaricatore}), ms, nome, t);
      return;
    case CMD_GET_FIRMA:
      Emetti(u, cmd, Risposta({CMD_GET_FIRMA, 0xFF, 0xFF}), ms, nome, t);
      return;
    case CMD_ESTESO:
      Emetti(u, cmd, Risposta({CMD_ESTESO, TipoMicro()}), ms, nome, t);
      return;
    case CMD_BLANK: {
      const std::uint32_t primo = Le(r, 1, 3);
      const std::uint32_t ultimo = Le(r, 4, 3);
      // The last address is that of the range's last 16-bit word.
      const std::uint64_t fine = static_cast<std::uint64_t>(std::max(ultimo, primo)) + 2;
      const Settore* s = settore(primo);
      if (!s || s->inizio != primo || s->Fine() != fine)
        Anomalia(ms, "Blank " + Formato("%06lx", primo) + "-" + Formato("%06lx", ultimo) + " non e' un settore intero",
                 t);
      const bool vuoto = flash.Vuoto(primo, fine);
      for (std::uint64_t a = primo; a < fine;) {
        const Settore* q = settore(static_cast<std::uint32_t>(a));
        if (!q) break;
        if (q->inizio >= primo && q->Fine() <= fine) settoriPronti_.push_back(q->inizio);
        a = q->Fine();
      }
      t(ms, "blank " + Formato("%06lx", primo) + "-" + Formato("%06lx", ultimo) + (vuoto ? ": vuoto" : ": non vuoto"));
      Emetti(u, cmd, RispostaDoppia(CMD_BLANK, esito(vuoto ? STATO_VUOTO : STATO_NON_VUOTO)), ms, nome, t);
      return;
    }
    case CMD_ERASE: {
      const std::uint32_t a = Le(r, 1, 3);
      const Settore* s = settore(a);
      std::uint8_t e = STATO_OK;
      if (!s) {
        e = STATO_ERRORE;
        Anomalia(ms, "Erase " + Formato("%06lx", a) + " fuori dalla flash", t);
      } else if (s->protetto) {
        e = STATO_ERRORE;
        t(ms, "erase " + Formato("%06lx", s->inizio) + ": settore protetto, non cancellato");
      } else {
        if (s->inizio != a) Anomalia(ms, "Erase " + Formato("%06lx", a) + " non e' l'inizio di un settore", t);
        flash.CancellaDiretto(a);
        settoriPronti_.push_back(s->inizio);
        t(ms, "erase " + Formato("%06lx", s->inizio) + ": settore cancellato");
      }
      Emetti(u, cmd, RispostaDoppia(CMD_ERASE, esito(e)), ms, nome, t);
      return;
    }
    case CMD_ERASE_CHIP: {
      const std::uint32_t a = Le(r, 1, 3);
      if (a != INDIRIZZO_ERASE_CHIP) Anomalia(ms, "EraseChip con l'indirizzo " + Formato("%06lx", a), t);
      bool protetto = false;
      for (std::uint64_t p = 0; p < 0x1000000;) {
        const Settore* s = settore(static_cast<std::uint32_t>(p));
        if (!s) {
          ++p;
          continue;
        }
        protetto = protetto || s->protetto;
        p = s->Fine();
      }
      if (!protetto) flash.CancellaTutto();
      t(ms, protetto ? "erase chip: un settore protetto, nulla cancellato" : "erase chip: flash cancellata");
      Emetti(u, cmd, RispostaDoppia(CMD_ERASE_CHIP, esito(protetto ? STATO_ERRORE : STATO_OK)), ms, nome, t,
             config.cancellazioneChipMs);
      return;
    }
    case CMD_WRITE: {
      const std::uint32_t a = Le(r, 1, 3);
      const std::uint32_t n = Le(r, 4, 2);
      if (r.size() > config.bufferCaricatore) {
        Anomalia(ms, "Write di " + std::to_string(r.size()) + " byte oltre il buffer di " +
                         std::to_string(config.bufferCaricatore), t);
        Emetti(u, cmd, {NACK}, ms, nome, t);
        return;
      }
      std::vector<std::uint8_t> dati(r.begin() + 6, r.end() - 3);
      scritture_.push_back({a, n});
      const Settore* s = settore(a);
      const Settore* ultimo = n ? settore(a + n - 1) : s;
      if (n == 0) Anomalia(ms, "Write di 0 byte a " + Formato("%06lx", a), t);
      if (s && ultimo && s != ultimo)
        Anomalia(ms, "Write " + Formato("%06lx", a) + "+" + std::to_string(n) + " oltre la fine del settore " +
                         Formato("%06lx", s->inizio), t);
      for (const Settore* q : {s, ultimo}) {
        if (q && std::find(settoriPronti_.begin(), settoriPronti_.end(), q->inizio) == settoriPronti_.end())
          Anomalia(ms, "Write " + Formato("%06lx", a) + " nel settore " + Formato("%06lx", q->inizio) +
                           " mai verificato ne' cancellato", t);
        if (s == ultimo) break;
      }
      if (n && std::all_of(dati.begin(), dati.end(), [](std::uint8_t v) { return v == 0xFF; }))
        Anomalia(ms, "Write di soli FF a " + Formato("%06lx", a), t);
      for (auto& g : config.guasti) {
        if (g.tipo != TipoGuastoF2mc::ByteErrato || (g.volte >= 0 && g.usati >= g.volte)) continue;
        if (g.indirizzo < a || g.indirizzo >= a + n) continue;
        ++g.usati;
        dati[g.indirizzo - a] ^= static_cast<std::uint8_t>(1u << (g.bit & 7));
        t(ms, "guasto byte errato " + nome + ": " + Formato("%06lx", g.indirizzo) + " scritto " +
                  Formato("%02lx", dati[g.indirizzo - a]) + " (" + std::to_string(g.usati) + ")");
      }
      if (bitInvertito_ && !dati.empty()) {
        const std::size_t pos = std::min<std::size_t>(bitInvertito_->posizione, dati.size() - 1);
        dati[pos] ^= static_cast<std::uint8_t>(1u << (bitInvertito_->bit & 7));
        t(ms, "bit invertito: " + Formato("%06lx", a + static_cast<std::uint32_t>(pos)) + " scritto " +
                  Formato("%02lx", dati[pos]));
      }
      bitInvertito_ = nullptr;
      const EsitoFlash e = flash.ScriviDiretto(a, dati.data(), dati.size());
      if (e != EsitoFlash::Ok && e != EsitoFlash::AreaVettori)
        t(ms, "write " + Formato("%06lx", a) + ": " +
                  (e == EsitoFlash::FuoriMappa ? "fuori dalla flash" : "bit da riportare a 1, verifica fallita"));
      Emetti(u, cmd, Risposta({CMD_WRITE, esito(e == EsitoFlash::Ok || e == EsitoFlash::AreaVettori ? STATO_OK
                                                                                                  : STATO_ERRORE)}),
             ms, nome, t);
      return;
    }
    case CMD_READ: {
      const std::uint32_t a = Le(r, 1, 3);
      const std::uint32_t n = Le(r, 4, 2);
      if (n == 0 || n > 255) Anomalia(ms, "Read di " + std::to_string(n) + " byte", t);
      std::vector<std::uint8_t> risposta{CMD_READ};
      for (std::uint32_t i = 0; i < n; ++i) risposta.push_back(flash.Leggi(a + i));
      Emetti(u, cmd, Risposta(std::move(risposta)), ms, nome, t);
      return;
    }
    default:
      return;
  }
}

std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> CChipF2mcSim::IntervalliRam() const {
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
