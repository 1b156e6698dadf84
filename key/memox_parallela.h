// The Memox key on the parallel port, reached through the port's driver device.
//
// The driver layer (CDriverMemox, one for the whole process: one parallel key
// in use at a time) holds the device handle, the page size its requests are
// built with and the request set in use: the basic set (pages up to 264 bytes)
// until the driver says it has the extended one. Every request must go
// through, return exactly the output length of its layout and carry a status
// of 0; a length beyond a layout's limit fails without a request. All fields
// are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "key/memox_interfaccia.h"
#include "platform/dispositivi.h"

namespace bricola {

// Control codes of the key's requests.
inline constexpr std::uint32_t kDrvIdentifica = 0xE2E9600C;
inline constexpr std::uint32_t kDrvCancellaPagina = 0xE2E9602C;
inline constexpr std::uint32_t kDrvEsteso = 0xE2E960A4;
inline constexpr std::uint32_t kDrvLeggiA = 0xE2E96018;
inline constexpr std::uint32_t kDrvLeggiB = 0xE2E9601C;
inline constexpr std::uint32_t kDrvScrivi = 0xE2E96020;
inline constexpr std::uint32_t kDrvLeggiAEsteso = 0xE2E96038;
inline constexpr std::uint32_t kDrvLeggiBEsteso = 0xE2E96034;
inline constexpr std::uint32_t kDrvScriviEsteso = 0xE2E96030;

class CDriverMemox {
 public:
  // Basic set: read A up to 528 bytes, read B and write up to 264 bytes (and
  // the page size); extended set: requests of at most 2048 bytes.
  static constexpr std::uint16_t kMaxLeggiABase = 528;
  static constexpr std::uint16_t kMaxBase = 264;
  static constexpr std::size_t kMaxEsteso = 2048;

  // Opens the driver device of that index (a handle already open is closed first).
  int Apri(int indice);
  int Chiudi();
  bool Aperto() const { return dispositivo != nullptr; }

  void ImpostaDimensionePagina(std::uint16_t d) { dimensionePagina = d; }
  std::uint16_t DimensionePagina() const { return dimensionePagina; }
  bool Esteso() const { return esteso; }

  // Asks the driver for the extended set and selects the set it found.
  bool ChiediEsteso();
  int Identifica(std::uint8_t* tipo);
  int CancellaPagina(std::uint16_t pagina);
  int LeggiA(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza);
  int LeggiB(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza);
  int Scrivi(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* dati, std::uint16_t lunghezza);

  // Closed, 264-byte pages, the basic set: the state at process start.
  void Ripristina();

 private:
  // One request whose output must be exactly `attesa` bytes.
  bool Richiesta(std::uint32_t codice, const std::vector<std::uint8_t>& ingresso, std::size_t attesa,
                 std::vector<std::uint8_t>& uscita);
  int Leggi(std::uint32_t codice, std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
            std::uint16_t lunghezza);

  std::unique_ptr<DispositivoDriver> dispositivo;
  std::uint16_t dimensionePagina = 264;
  bool esteso = false;
};

// The driver layer of the process.
CDriverMemox& DriverMemox();

class CMemoxParallela : public CMemoxInterfaccia {
 public:
  CMemoxParallela() = default;

  int Apri(int porta) override;
  int Chiudi() override;
  bool DriverEsteso() override;
  // The key on the parallel port cannot be erased whole.
  int CancellaTutto() override { return 0; }
  int LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                      std::uint16_t lunghezza) override;
  void ImpostaDimensionePagina(std::uint16_t dimensione) override;
  int LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                  std::uint16_t lunghezza) override;
  int ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                   std::uint16_t lunghezza) override;
  int CancellaPagina(std::uint16_t pagina) override;
  int LeggiTipo(std::uint8_t* tipo) override;
};

}  // namespace bricola
