#include "key/memox_parallela.h"

#include <cstring>

namespace bricola {

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return p[0] | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
void AccodaLe16(std::vector<std::uint8_t>& b, std::uint32_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// u16 page, u16 offset, u16 length: the head of every read and write.
std::vector<std::uint8_t> Testa(std::uint16_t pagina, std::uint16_t offset, std::uint16_t lunghezza) {
  std::vector<std::uint8_t> b;
  AccodaLe16(b, pagina);
  AccodaLe16(b, offset);
  AccodaLe16(b, lunghezza);
  return b;
}

// Output of the basic reads: the data, then the status.
constexpr std::size_t kUscitaLeggiA = 532;
constexpr std::size_t kUscitaLeggiB = 268;
constexpr std::size_t kIngressoScrivi = 271;
// Extended reads: the status, two bytes the driver keeps to itself, the data.
constexpr std::size_t kTestaLetturaEstesa = 6;
constexpr std::size_t kTestaScritturaEstesa = 9;
constexpr std::size_t kTestaScrittura = 7;

}  // namespace

CDriverMemox& DriverMemox() {
  static CDriverMemox d;
  return d;
}

void CDriverMemox::Ripristina() {
  dispositivo.reset();
  dimensionePagina = 264;
  esteso = false;
}

int CDriverMemox::Apri(int indice) {
  dispositivo.reset();
  if (indice < 0) return 0;
  dispositivo = ApriDriver(indice);
  return dispositivo ? 1 : 0;
}

int CDriverMemox::Chiudi() {
  if (!dispositivo) return 0;
  dispositivo.reset();
  return 1;
}

bool CDriverMemox::Richiesta(std::uint32_t codice, const std::vector<std::uint8_t>& ingresso, std::size_t attesa,
                             std::vector<std::uint8_t>& uscita) {
  if (!dispositivo) return false;
  if (!dispositivo->Richiesta(codice, ingresso, static_cast<std::uint32_t>(attesa), uscita)) return false;
  return uscita.size() == attesa;
}

bool CDriverMemox::ChiediEsteso() {
  std::vector<std::uint8_t> u;
  esteso = Richiesta(kDrvEsteso, {}, 8, u) && Le32(u.data()) == 0;
  return esteso;
}

int CDriverMemox::Identifica(std::uint8_t* tipo) {
  std::vector<std::uint8_t> u;
  if (!Richiesta(kDrvIdentifica, {}, 5, u) || Le32(u.data() + 1) != 0) return 0;
  if (tipo) *tipo = u[0];
  return 1;
}

int CDriverMemox::CancellaPagina(std::uint16_t pagina) {
  std::vector<std::uint8_t> in;
  AccodaLe16(in, pagina);
  in.push_back(1);
  std::vector<std::uint8_t> u;
  return Richiesta(kDrvCancellaPagina, in, 4, u) && Le32(u.data()) == 0 ? 1 : 0;
}

int CDriverMemox::Leggi(std::uint32_t codice, std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                        std::uint16_t lunghezza) {
  std::size_t attesa, dati, stato;
  switch (codice) {
    case kDrvLeggiA:
      attesa = kUscitaLeggiA;
      dati = 0;
      stato = kMaxLeggiABase;
      break;
    case kDrvLeggiB:
      attesa = kUscitaLeggiB;
      dati = 0;
      stato = kMaxBase;
      break;
    default:
      attesa = std::size_t{lunghezza} + kTestaLetturaEstesa;
      dati = kTestaLetturaEstesa;
      stato = 0;
      break;
  }
  std::vector<std::uint8_t> u;
  if (!Richiesta(codice, Testa(pagina, offset, lunghezza), attesa, u) || Le32(u.data() + stato) != 0) return 0;
  if (lunghezza > 0) std::memcpy(buffer, u.data() + dati, lunghezza);
  return 1;
}

int CDriverMemox::LeggiA(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza) {
  if (esteso) {
    if (lunghezza > dimensionePagina) return 0;
    return Leggi(kDrvLeggiAEsteso, pagina, offset, buffer, lunghezza);
  }
  if (lunghezza > kMaxLeggiABase) return 0;
  return Leggi(kDrvLeggiA, pagina, offset, buffer, lunghezza);
}

int CDriverMemox::LeggiB(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza) {
  if (esteso) {
    if (lunghezza > dimensionePagina || std::size_t{lunghezza} + kTestaLetturaEstesa > kMaxEsteso) return 0;
    return Leggi(kDrvLeggiBEsteso, pagina, offset, buffer, lunghezza);
  }
  if (lunghezza > kMaxBase || lunghezza > dimensionePagina) return 0;
  return Leggi(kDrvLeggiB, pagina, offset, buffer, lunghezza);
}

int CDriverMemox::Scrivi(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* dati, std::uint16_t lunghezza) {
  std::vector<std::uint8_t> in = Testa(pagina, offset, lunghezza);
  in.push_back(1);
  std::uint32_t codice;
  if (esteso) {
    if (lunghezza > dimensionePagina || std::size_t{lunghezza} + kTestaScritturaEstesa > kMaxEsteso) return 0;
    AccodaLe16(in, dimensionePagina);
    in.resize(std::size_t{dimensionePagina} + kTestaScritturaEstesa, 0);
    if (lunghezza > 0) std::memcpy(in.data() + kTestaScritturaEstesa, dati, lunghezza);
    codice = kDrvScriviEsteso;
  } else {
    if (lunghezza > kMaxBase || lunghezza > dimensionePagina) return 0;
    in.resize(kIngressoScrivi, 0);
    if (lunghezza > 0) std::memcpy(in.data() + kTestaScrittura, dati, lunghezza);
    codice = kDrvScrivi;
  }
  std::vector<std::uint8_t> u;
  return Richiesta(codice, in, 4, u) && Le32(u.data()) == 0 ? 1 : 0;
}

int CMemoxParallela::Apri(int porta) { return DriverMemox().Apri(porta); }

int CMemoxParallela::Chiudi() { return DriverMemox().Chiudi(); }

bool CMemoxParallela::DriverEsteso() { return DriverMemox().ChiediEsteso(); }

int CMemoxParallela::LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                                     std::uint16_t lunghezza) {
  return DriverMemox().LeggiA(pagina, offset, buffer, lunghezza);
}

void CMemoxParallela::ImpostaDimensionePagina(std::uint16_t dimensione) {
  dimensionePagina = dimensione;
  DriverMemox().ImpostaDimensionePagina(dimensione);
}

int CMemoxParallela::LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                                 std::uint16_t lunghezza) {
  return DriverMemox().LeggiB(pagina, offset, buffer, lunghezza);
}

int CMemoxParallela::ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                                  std::uint16_t lunghezza) {
  return DriverMemox().Scrivi(pagina, offset, buffer, lunghezza);
}

int CMemoxParallela::CancellaPagina(std::uint16_t pagina) { return DriverMemox().CancellaPagina(pagina); }

int CMemoxParallela::LeggiTipo(std::uint8_t* tipo) { return DriverMemox().Identifica(tipo); }

}  // namespace bricola
