// The Memox key on USB: a HID device spoken to with 33-byte feature reports
// (report ID 0, then 32 data bytes). Requests and replies are whole multiples of
// 32 bytes, their words big-endian, and every reply starts with a status word
// (0 is success).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "key/memox_interfaccia.h"
#include "platform/dispositivi.h"

namespace bricola {

// The 32 bytes a key answers while its reply is not ready yet.
extern const std::uint8_t kMemoxNonPronto[32];

// Request words.
inline constexpr std::uint32_t kUsbIdentifica = 0x00000003;
inline constexpr std::uint32_t kUsbSceltaModo = 0x00000004;
inline constexpr std::uint32_t kUsbCancellaPagina = 0x00000010;
inline constexpr std::uint32_t kUsbScriviPagina = 0x00000020;
inline constexpr std::uint32_t kUsbLeggiPagina = 0x00000030;
inline constexpr std::uint32_t kUsbCancellaTutto = 0x000000F0;
inline constexpr std::uint32_t kUsbModo = 2;
// Identify status of a key without memory.
inline constexpr std::uint32_t kUsbStatoNessunaMemoria = 0x10;
// Type code given to a key of a geometry this program does not know.
inline constexpr std::uint8_t kTipoGeometriaSconosciuta = 0x28;

class CMemoxUsb : public CMemoxInterfaccia {
 public:
  CMemoxUsb() = default;
  ~CMemoxUsb() override;

  // Only index 0: the first key found (ApriChiaveUsb), then mode 2 is selected;
  // a refused mode closes the key again.
  int Apri(int porta) override;
  int Chiudi() override;
  bool DriverEsteso() override { return true; }
  // On a handle of its own, whether this object is open or not.
  int CancellaTutto() override;
  int LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                      std::uint16_t lunghezza) override;
  int LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                  std::uint16_t lunghezza) override;
  // The data always lands at the start of the page and the rest of the page is
  // written with zero bytes, so a write must start at offset 0.
  int ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                   std::uint16_t lunghezza) override;
  int CancellaPagina(std::uint16_t pagina) override;
  // 0xFF for a key without memory (identify status 0x10), else the density of
  // its geometry (0x24, 0x2C, 0x34; 0x28 for any other).
  int LeggiTipo(std::uint8_t* tipo) override;

  bool Aperta() const { return dispositivo != nullptr; }

  // One exchange: the request of n bytes in 32-byte pieces, then the reply of m
  // bytes; a reply that was not ready (or needed a second read) makes the whole
  // exchange go once more. n and m must be nonzero multiples of 32.
  static int Transazione(DispositivoHid& d, const std::uint8_t* richiesta, std::size_t n, std::uint8_t* risposta,
                         std::size_t m);

 private:
  int Leggi(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza);
  // A 32-byte request with a 32-byte reply whose status must be 0.
  int Semplice(DispositivoHid& d, const std::uint8_t* richiesta);

  std::unique_ptr<DispositivoHid> dispositivo;
};

}  // namespace bricola
