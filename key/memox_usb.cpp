#include "key/memox_usb.h"

#include <cstring>
#include <vector>

namespace bricola {

namespace {

constexpr std::size_t kPezzo = 32;

constexpr std::uint8_t kCodiceModo[8] = {0x3C, 0x91, 0x7A, 0x0E, 0x55, 0xD2, 0x18, 0x6B};
constexpr std::uint8_t kCodiceCancellaPagina[8] = {0x9F, 0x24, 0xC3, 0x71, 0x0B, 0x8E, 0x46, 0xD5};
constexpr std::uint8_t kCodiceCancellaTutto[8] = {0x62, 0xE7, 0x1D, 0xA9, 0x34, 0xF0, 0x8B, 0x5C};

void MettiBe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

// One feature report read into `report` (33 bytes, report ID 0).
bool LeggiReport(DispositivoHid& d, std::uint8_t* report) {
  report[0] = 0;
  return d.LeggiFeature(report);
}

}  // namespace

const std::uint8_t kMemoxNonPronto[32] = {0x7D, 0x2A, 0x91, 0xC4, 0x0E, 0x5B, 0x38, 0xF6, 0xA1, 0xD7, 0x46,
                                          0x0C, 0x93, 0xE8, 0x2F, 0x5B, 0x1C, 0x64, 0xD0, 0x87, 0x7A, 0xB3,
                                          0xE9, 0x25, 0x4F, 0x18, 0xC6, 0xD2, 0x0B, 0x73, 0x95, 0xEA};

CMemoxUsb::~CMemoxUsb() { Chiudi(); }

int CMemoxUsb::Transazione(DispositivoHid& d, const std::uint8_t* richiesta, std::size_t n, std::uint8_t* risposta,
                           std::size_t m) {
  if (n == 0 || m == 0 || n % kPezzo != 0 || m % kPezzo != 0) return 0;
  std::uint8_t report[kLunghezzaReport];
  for (int giro = 0;; ++giro) {
    // The request, piece by piece; a piece that fails ends the sending, the
    // reply is read all the same.
    for (std::size_t i = 0; i < n; i += kPezzo) {
      report[0] = 0;
      std::memcpy(report + 1, richiesta + i, kPezzo);
      if (!d.ImpostaFeature(report)) break;
    }
    bool ripeti = false;
    if (!LeggiReport(d, report)) {
      if (!LeggiReport(d, report)) return 0;
      ripeti = true;
    }
    if (std::memcmp(report + 1, kMemoxNonPronto, kPezzo) == 0) {
      if (!LeggiReport(d, report)) return 0;
      ripeti = true;
    }
    // Once only: on the second round what was read last is the reply.
    if (ripeti && giro == 0) continue;
    break;
  }
  std::memcpy(risposta, report + 1, kPezzo);
  for (std::size_t i = kPezzo; i < m; i += kPezzo) {
    if (!LeggiReport(d, report)) return 0;
    std::memcpy(risposta + i, report + 1, kPezzo);
  }
  return 1;
}

int CMemoxUsb::Semplice(DispositivoHid& d, const std::uint8_t* richiesta) {
  std::uint8_t risposta[kPezzo];
  if (!Transazione(d, richiesta, kPezzo, risposta, kPezzo)) return 0;
  return Be32(risposta) == 0 ? 1 : 0;
}

int CMemoxUsb::Apri(int porta) {
  if (porta != 0) return 0;
  Chiudi();
  auto d = ApriChiaveUsb();
  if (!d) return 0;
  std::uint8_t r[kPezzo] = {};
  MettiBe32(r, kUsbSceltaModo);
  MettiBe32(r + 4, kUsbModo);
  std::memcpy(r + 8, kCodiceModo, sizeof kCodiceModo);
  if (!Semplice(*d, r)) return 0;  // the device closes with d
  dispositivo = std::move(d);
  return 1;
}

int CMemoxUsb::Chiudi() {
  if (!dispositivo) return 0;
  dispositivo.reset();
  return 1;
}

int CMemoxUsb::CancellaTutto() {
  auto d = ApriChiaveUsb();
  if (!d) return 0;
  std::uint8_t r[kPezzo] = {};
  MettiBe32(r, kUsbCancellaTutto);
  std::memcpy(r + 4, kCodiceCancellaTutto, sizeof kCodiceCancellaTutto);
  return Semplice(*d, r);
}

int CMemoxUsb::LeggiTipo(std::uint8_t* tipo) {
  if (!dispositivo) return 0;
  std::uint8_t r[kPezzo] = {};
  MettiBe32(r, kUsbIdentifica);
  std::uint8_t risposta[kPezzo];
  if (!Transazione(*dispositivo, r, kPezzo, risposta, kPezzo)) return 0;
  const std::uint32_t stato = Be32(risposta);
  std::uint8_t t;
  if (stato == kUsbStatoNessunaMemoria) {
    t = kTipoNessunaMemoria;
  } else if (stato != 0) {
    return 0;
  } else {
    const std::uint32_t pagina = Be32(risposta + 8);
    const std::uint32_t pagine = Be32(risposta + 12);
    if (pagina == 264 && pagine == 4096) t = kDensita264x4096;
    else if (pagina == 528 && pagine == 4096) t = kDensita528x4096;
    else if (pagina == 528 && pagine == 8192) t = kDensita528x8192;
    else t = kTipoGeometriaSconosciuta;
  }
  if (tipo) *tipo = t;
  return 1;
}

int CMemoxUsb::Leggi(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza) {
  if (!dispositivo) return 0;
  const std::size_t dimensione = DimensionePagina();
  // The reply holds one page: nothing beyond it can be read.
  if (std::size_t{offset} + lunghezza > dimensione) return 0;
  std::uint8_t r[kPezzo] = {};
  MettiBe32(r, kUsbLeggiPagina);
  MettiBe32(r + 4, pagina);
  std::vector<std::uint8_t> risposta((dimensione + 4 + kPezzo - 1) / kPezzo * kPezzo);
  if (!Transazione(*dispositivo, r, kPezzo, risposta.data(), risposta.size())) return 0;
  if (Be32(risposta.data()) != 0) return 0;
  if (lunghezza > 0) std::memcpy(buffer, risposta.data() + 4 + offset, lunghezza);
  return 1;
}

int CMemoxUsb::LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                               std::uint16_t lunghezza) {
  return Leggi(pagina, offset, buffer, lunghezza);
}

int CMemoxUsb::LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                           std::uint16_t lunghezza) {
  return Leggi(pagina, offset, buffer, lunghezza);
}

int CMemoxUsb::ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                            std::uint16_t lunghezza) {
  if (!dispositivo) return 0;
  const std::size_t dimensione = DimensionePagina();
  if (offset != 0 || lunghezza > dimensione) return 0;
  std::vector<std::uint8_t> r((dimensione + 8) / kPezzo * kPezzo + kPezzo, 0);
  MettiBe32(r.data(), kUsbScriviPagina);
  MettiBe32(r.data() + 4, pagina);
  if (lunghezza > 0) std::memcpy(r.data() + 8, buffer, lunghezza);
  std::uint8_t risposta[kPezzo];
  if (!Transazione(*dispositivo, r.data(), r.size(), risposta, kPezzo)) return 0;
  return Be32(risposta) == 0 ? 1 : 0;
}

int CMemoxUsb::CancellaPagina(std::uint16_t pagina) {
  if (!dispositivo) return 0;
  std::uint8_t r[kPezzo] = {};
  MettiBe32(r, kUsbCancellaPagina);
  MettiBe32(r + 4, pagina);
  std::memcpy(r + 8, kCodiceCancellaPagina, sizeof kCodiceCancellaPagina);
  return Semplice(*dispositivo, r);
}

}  // namespace bricola
