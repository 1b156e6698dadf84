// Page-level access to the Memox key's flash, whichever way the key is reached
// (USB HID or the parallel-port driver).
#pragma once

#include <cstdint>

namespace bricola {

// Type codes a key reports about its memory.
inline constexpr std::uint8_t kTipoNessunaMemoria = 0xFF;
inline constexpr std::uint8_t kTipoMemoriaMuta = 0x00;
inline constexpr std::uint8_t kMascheraDensita = 0x3C;
inline constexpr std::uint8_t kDensita264x4096 = 0x24;
inline constexpr std::uint8_t kDensita528x4096 = 0x2C;
inline constexpr std::uint8_t kDensita528x8192 = 0x34;

// What RiconosciChiave found.
enum GenereChiave : int {
  kChiaveAssente = 0,
  kChiave264x4096 = 1,
  kChiave528x4096 = 2,
  kChiave528x8192 = 3,
  kChiaveSconosciuta = 4,
  kChiaveGuasta = 5,
};

// Pages are numbered from 0; every operation returns 1 on success, 0 on failure.
// Reads and writes never cross a page; writes always start at offset 0.
class CMemoxInterfaccia {
 public:
  CMemoxInterfaccia() = default;
  virtual ~CMemoxInterfaccia() = default;
  CMemoxInterfaccia(const CMemoxInterfaccia&) = delete;
  CMemoxInterfaccia& operator=(const CMemoxInterfaccia&) = delete;

  virtual int Apri(int porta) = 0;
  virtual int Chiudi() = 0;
  // Whether the extended request set is there (always for USB).
  virtual bool DriverEsteso() = 0;
  // Erases the whole key.
  virtual int CancellaTutto() = 0;
  virtual int LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                              std::uint16_t lunghezza) = 0;
  virtual std::uint16_t DimensionePagina() const { return dimensionePagina; }
  virtual void ImpostaDimensionePagina(std::uint16_t dimensione) { dimensionePagina = dimensione; }
  virtual std::uint32_t NumeroPagine() const { return numeroPagine; }
  virtual int LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                          std::uint16_t lunghezza) = 0;
  virtual int ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                           std::uint16_t lunghezza) = 0;
  virtual int CancellaPagina(std::uint16_t pagina) = 0;
  virtual int LeggiTipo(std::uint8_t* tipo) = 0;

  // LeggiTipo, then the kind (GenereChiave) and, for a known density, the geometry.
  // 0 when the type cannot be read.
  int RiconosciChiave(int* tipoChiave);

 protected:
  std::uint16_t dimensionePagina = 264;
  std::uint32_t numeroPagine = 4096;
};

}  // namespace bricola
