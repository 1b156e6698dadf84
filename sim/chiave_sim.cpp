#include "sim/chiave_sim.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bricola::sim {

namespace {

constexpr std::uint8_t CODICE_MODO[8] = {0x3C, 0x91, 0x7A, 0x0E, 0x55, 0xD2, 0x18, 0x6B};
constexpr std::uint8_t CODICE_CANCELLA_PAGINA[8] = {0x9F, 0x24, 0xC3, 0x71, 0x0B, 0x8E, 0x46, 0xD5};
constexpr std::uint8_t CODICE_CANCELLA_TUTTO[8] = {0x62, 0xE7, 0x1D, 0xA9, 0x34, 0xF0, 0x8B, 0x5C};

// Requests of the key's USB side.
constexpr std::uint32_t USB_IDENTIFICA = 0x03;
constexpr std::uint32_t USB_MODO = 0x04;
constexpr std::uint32_t USB_CANCELLA_PAGINA = 0x10;
constexpr std::uint32_t USB_SCRIVI_PAGINA = 0x20;
constexpr std::uint32_t USB_LEGGI_PAGINA = 0x30;
constexpr std::uint32_t USB_CANCELLA_TUTTO = 0xF0;
// The key's firmware release, answered beside the geometry.
constexpr std::uint32_t VERSIONE_CHIAVE = 0x00010004;

std::uint32_t ParolaBe(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
void MettiBe(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

}  // namespace

const std::uint8_t NON_PRONTO[32] = {0x7D, 0x2A, 0x91, 0xC4, 0x0E, 0x5B, 0x38, 0xF6, 0xA1, 0xD7, 0x46,
                                     0x0C, 0x93, 0xE8, 0x2F, 0x5B, 0x1C, 0x64, 0xD0, 0x87, 0x7A, 0xB3,
                                     0xE9, 0x25, 0x4F, 0x18, 0xC6, 0xD2, 0x0B, 0x73, 0x95, 0xEA};

CChiaveSim::~CChiaveSim() {
  if (fd_ >= 0) ::close(fd_);
}

bool CChiaveSim::Apri(const ConfigChiave& c, std::string& errore) {
  guasti_ = c.guasti;
  dimensione_ = c.dimensionePagina;
  numero_ = c.numeroPagine;
  file_ = c.file;
  if (c.file.empty()) return true;
  if (dimensione_ == 0 || dimensione_ > 4096 || numero_ == 0 || numero_ > 65536) {
    errore = "geometria della chiave non valida";
    return false;
  }
  const std::uint64_t totale = std::uint64_t{dimensione_} * numero_;
  fd_ = ::open(c.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    errore = c.file + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  ::fstat(fd_, &st);
  memoria_.assign(totale, 0xFF);
  if (st.st_size == 0) {
    // A new key comes erased.
    if (!Salva(0, totale)) {
      errore = c.file + ": scrittura fallita";
      return false;
    }
  } else if (static_cast<std::uint64_t>(st.st_size) != totale) {
    errore = c.file + ": " + std::to_string(st.st_size) + " byte, la geometria ne vuole " + std::to_string(totale);
    return false;
  } else {
    std::uint64_t letti = 0;
    while (letti < totale) {
      const ssize_t k = ::pread(fd_, memoria_.data() + letti, totale - letti, static_cast<off_t>(letti));
      if (k <= 0) {
        errore = c.file + ": lettura fallita";
        return false;
      }
      letti += static_cast<std::uint64_t>(k);
    }
  }
  presente_ = true;
  return true;
}

bool CChiaveSim::Salva(std::uint64_t inizio, std::uint64_t n) {
  while (n > 0) {
    const ssize_t k = ::pwrite(fd_, memoria_.data() + inizio, n, static_cast<off_t>(inizio));
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) return false;
    inizio += static_cast<std::uint64_t>(k);
    n -= static_cast<std::uint64_t>(k);
  }
  return true;
}

std::uint8_t CChiaveSim::TipoParallela() const {
  if (guasti_.tipo >= 0) return static_cast<std::uint8_t>(guasti_.tipo);
  if (!Presente()) return 0xFF;
  // Bit 7 is the memory's ready flag; bits 5..2 its density.
  std::uint8_t densita = 0x3C;
  if (dimensione_ == 264 && numero_ == 4096) densita = 0x24;
  else if (dimensione_ == 528 && numero_ == 4096) densita = 0x2C;
  else if (dimensione_ == 528 && numero_ == 8192) densita = 0x34;
  return static_cast<std::uint8_t>(0x80 | densita);
}

std::uint32_t CChiaveSim::Leggi(std::uint32_t pagina, std::uint32_t offset, std::uint32_t n, std::uint8_t* dati) const {
  if (!Presente()) return stato::NESSUNA_MEMORIA;
  if (pagina >= numero_ || offset > dimensione_ || n > dimensione_ - offset) return stato::FUORI_LIMITI;
  std::memcpy(dati, memoria_.data() + std::uint64_t{pagina} * dimensione_ + offset, n);
  return stato::OK;
}

std::uint32_t CChiaveSim::Scrivi(std::uint32_t pagina, std::uint32_t offset, const std::uint8_t* dati, std::uint32_t n) {
  if (!Presente()) return stato::NESSUNA_MEMORIA;
  if (pagina >= numero_ || offset > dimensione_ || n > dimensione_ - offset) return stato::FUORI_LIMITI;
  if (guasti_.scritturaFallita.Contiene(pagina)) return stato::SCRITTURA_FALLITA;
  const std::uint64_t inizio = std::uint64_t{pagina} * dimensione_ + offset;
  std::memcpy(memoria_.data() + inizio, dati, n);
  if (!Salva(inizio, n)) return stato::SCRITTURA_FALLITA;
  ++scritte_;
  return stato::OK;
}

std::uint32_t CChiaveSim::CancellaPagina(std::uint32_t pagina) {
  if (!Presente()) return stato::NESSUNA_MEMORIA;
  if (pagina >= numero_) return stato::FUORI_LIMITI;
  if (guasti_.cancellazioneFallita.Contiene(pagina)) return stato::CANCELLAZIONE_FALLITA;
  const std::uint64_t inizio = std::uint64_t{pagina} * dimensione_;
  std::fill_n(memoria_.begin() + static_cast<std::ptrdiff_t>(inizio), dimensione_, 0xFF);
  if (!Salva(inizio, dimensione_)) return stato::CANCELLAZIONE_FALLITA;
  ++cancellate_;
  return stato::OK;
}

std::uint32_t CChiaveSim::CancellaTutto() {
  if (!Presente()) return stato::NESSUNA_MEMORIA;
  if (!guasti_.cancellazioneFallita.Vuoto()) return stato::CANCELLAZIONE_FALLITA;
  std::fill(memoria_.begin(), memoria_.end(), 0xFF);
  if (!Salva(0, memoria_.size())) return stato::CANCELLAZIONE_FALLITA;
  ++cancellazioniTotali_;
  return stato::OK;
}

std::uint32_t CChiaveSim::PagineNonVuote() const {
  std::uint32_t n = 0;
  for (std::uint32_t p = 0; p < numero_ && presente_; ++p) {
    const auto inizio = memoria_.begin() + static_cast<std::ptrdiff_t>(std::uint64_t{p} * dimensione_);
    if (std::any_of(inizio, inizio + dimensione_, [](std::uint8_t b) { return b != 0xFF; })) ++n;
  }
  return n;
}

std::size_t CUsbSim::LunghezzaRichiesta(std::uint32_t comando) const {
  if (comando == USB_SCRIVI_PAGINA) return ((chiave_.DimensionePagina() + 8) / 32) * 32 + 32;
  return 32;
}

bool CUsbSim::Imposta(SessioneUsb& s, const std::uint8_t* report, EventoUsb& e) {
  if (report[0] != 0) return false;
  s.richiesta.insert(s.richiesta.end(), report + 1, report + 33);
  if (s.richiesta.size() < LunghezzaRichiesta(ParolaBe(s.richiesta.data()))) return true;
  // A new request replaces whatever reply was still unread.
  const auto r = Esegui(s.richiesta, e);
  s.richiesta.clear();
  s.risposta.assign(r.begin(), r.end());
  s.rispostaIniziata = false;
  return true;
}

bool CUsbSim::Ottieni(SessioneUsb& s, std::uint8_t* report, EventoUsb& e) {
  if (chiave_.Guasti().nessunaRisposta) {
    e.risposta = "fallita";
    return false;
  }
  if (!s.richiesta.empty()) {
    // The request was cut short: the key drops it.
    s.richiesta.clear();
    e.risposta = "fallita";
    return false;
  }
  report[0] = 0;
  const GuastiChiave& g = chiave_.Guasti();
  bool nonPronto = s.risposta.empty();
  // A hung key answers nothing but the not-ready pattern, whatever was asked.
  if (g.bloccataDopo >= 0 && risposteDate_ >= g.bloccataDopo && !s.rispostaIniziata) nonPronto = true;
  if (!nonPronto && !s.rispostaIniziata) {
    if (nonProntoUsati_ < g.nonPronto) {
      ++nonProntoUsati_;
      nonPronto = true;
    } else if (g.nonProntoSempre) {
      // Once per reply.
      s.rispostaIniziata = true;
      nonPronto = true;
    }
  }
  if (nonPronto) {
    std::memcpy(report + 1, NON_PRONTO, 32);
    e.risposta = s.risposta.empty() ? "vuota" : "nonPronto";
    return true;
  }
  if (!s.rispostaIniziata) ++risposteDate_;
  s.rispostaIniziata = true;
  for (int i = 0; i < 32; ++i) {
    report[1 + i] = s.risposta.front();
    s.risposta.pop_front();
  }
  e.risposta = "dati";
  return true;
}

std::vector<std::uint8_t> CUsbSim::Esegui(const std::vector<std::uint8_t>& r, EventoUsb& e) {
  const std::uint32_t comando = ParolaBe(r.data());
  const std::uint32_t P = chiave_.DimensionePagina();
  std::vector<std::uint8_t> risposta(32, 0);
  std::uint32_t st = stato::OK;
  const bool inModo = modo_ == 2;
  switch (comando) {
    case USB_IDENTIFICA:
      e.richiesta = "identifica";
      if (!inModo) st = stato::MODO_NON_SCELTO;
      else if (!chiave_.Presente()) st = stato::NESSUNA_MEMORIA;
      else {
        MettiBe(&risposta[4], VERSIONE_CHIAVE);
        MettiBe(&risposta[8], P);
        MettiBe(&risposta[12], chiave_.NumeroPagine());
      }
      break;
    case USB_MODO:
      e.richiesta = "modo";
      e.pagina = ParolaBe(&r[4]);  // the mode asked for
      e.conPagina = false;
      if (std::memcmp(&r[8], CODICE_MODO, 8) != 0) st = stato::CODICE_ACCESSO;
      else if (chiave_.Guasti().modoRifiutato) st = stato::MODO_RIFIUTATO;
      else modo_ = ParolaBe(&r[4]);
      break;
    case USB_CANCELLA_PAGINA:
      e.richiesta = "cancellaPagina";
      e.pagina = ParolaBe(&r[4]);
      e.conPagina = true;
      if (!inModo) st = stato::MODO_NON_SCELTO;
      else if (std::memcmp(&r[8], CODICE_CANCELLA_PAGINA, 8) != 0) st = stato::CODICE_ACCESSO;
      else st = chiave_.CancellaPagina(e.pagina);
      break;
    case USB_SCRIVI_PAGINA:
      e.richiesta = "scriviPagina";
      e.pagina = ParolaBe(&r[4]);
      e.conPagina = true;
      // The page is written whole from the request's data.
      if (!inModo) st = stato::MODO_NON_SCELTO;
      else st = chiave_.Scrivi(e.pagina, 0, &r[8], P);
      break;
    case USB_LEGGI_PAGINA: {
      e.richiesta = "leggiPagina";
      e.pagina = ParolaBe(&r[4]);
      e.conPagina = true;
      risposta.assign((P + 4 + 31) / 32 * 32, 0);
      if (!inModo) st = stato::MODO_NON_SCELTO;
      else st = chiave_.Leggi(e.pagina, 0, P, &risposta[4]);
      break;
    }
    case USB_CANCELLA_TUTTO:
      e.richiesta = "cancellaTutto";
      if (std::memcmp(&r[4], CODICE_CANCELLA_TUTTO, 8) != 0 || ParolaBe(&r[12]) != 0) st = stato::CODICE_ACCESSO;
      else st = chiave_.CancellaTutto();
      break;
    default:
      e.richiesta = "sconosciuta";
      e.pagina = comando;
      st = stato::RICHIESTA_SCONOSCIUTA;
      break;
  }
  if (st != stato::OK && comando == USB_LEGGI_PAGINA) std::fill(risposta.begin() + 4, risposta.end(), 0);
  MettiBe(risposta.data(), st);
  e.stato = st;
  return risposta;
}

}  // namespace bricola::sim
