// A PIC-based board behind the programming interface: 32 KiB of program flash
// in 64-byte rows, 16 configuration bytes whose unimplemented bits read 0, and
// the data area that holds the board's machine code and signature byte.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/chiave_sim.h"

namespace bricola::sim {

// A fault aimed at one kind of driver request of the PIC interface ("modo",
// "comando", "leggi", "scrivi", "*"): `silenzio` (no answer), `nack` (result 0,
// nothing done), `bitRisposta` (bit `bit` of output byte `posizione` flipped;
// negative counts from the end), `bitInvertito` (a write: bit `bit` of data
// byte `posizione` stored flipped, answered as good), `chiusura` (the
// connection drops when the request arrives).
struct GuastoRichiestaPic {
  std::string tipo;
  std::string richiesta = "*";
  int volte = -1;  // requests spoiled; -1 every one
  int dopo = 0;    // matching requests let through first
  int posizione = 1;
  int bit = 2;
  int visti = 0;
  int usati = 0;
};

struct GuastiPic {
  bool modoRifiutato = false;          // mode on answers a nonzero status
  InsiemeGuasti cancellazioneFallita;  // sector starts whose erase fails
  InsiemeGuasti scritturaFallita;      // addresses whose writes fail
  std::map<std::uint32_t, std::uint8_t> bitErrati;  // address -> bits stored inverted
  std::set<std::string> rispostaCorta; // "modo", "comando", "leggi", "scrivi": a reply 2 bytes short
  std::vector<GuastoRichiestaPic> richieste;  // the common faults, by request
};

struct ConfigPic {
  std::uint16_t codice = 0xFFFF;  // machine code at 0xF000FC (little-endian)
  std::uint8_t firma = 0xFF;      // signature byte at 0xF000FF
  std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> contenuto;  // initial flash
  GuastiPic guasti;
};

namespace stato {
constexpr std::uint32_t PIC_ASSENTE = 0x30;
constexpr std::uint32_t PIC_MODO_RIFIUTATO = 0x31;
constexpr std::uint32_t PIC_MODO_SPENTO = 0x32;
constexpr std::uint32_t PIC_INDIRIZZO = 0x33;
constexpr std::uint32_t PIC_COMANDO = 0x34;
constexpr std::uint32_t PIC_CANCELLAZIONE = 0x35;
constexpr std::uint32_t PIC_SCRITTURA = 0x36;
}  // namespace stato

class CPicSim {
 public:
  static constexpr std::uint32_t FLASH_FINE = 0x8000;
  static constexpr std::uint32_t RIGA = 64;
  static constexpr std::uint32_t CONFIG = 0x300000;
  static constexpr std::uint32_t DATI = 0xF00000;
  static constexpr std::uint32_t DATI_LUNGHEZZA = 0x100;
  // Bits of each configuration byte that are not implemented (they read 0).
  static const std::uint8_t NON_IMPLEMENTATI[16];

  explicit CPicSim(const ConfigPic& c = {});

  std::uint32_t Leggi(std::uint32_t indirizzo, std::uint32_t n, std::uint8_t* dati) const;
  std::uint32_t Scrivi(std::uint32_t indirizzo, const std::uint8_t* dati, std::uint32_t n);
  // The one command of the interface: erase the sector that starts at the value.
  std::uint32_t Comando(std::uint32_t valore);

  const GuastiPic& Guasti() const { return guasti_; }
  std::uint16_t Codice() const { return static_cast<std::uint16_t>(dati_[0xFC] | (dati_[0xFD] << 8)); }
  std::uint8_t Firma() const { return dati_[0xFF]; }
  const std::vector<std::uint8_t>& Flash() const { return flash_; }
  const std::vector<std::uint8_t>& Configurazione() const { return config_; }
  const std::vector<std::uint32_t>& Cancellazioni() const { return cancellazioni_; }
  // Writes that wanted a bit at 1 where the flash already held 0.
  std::uint32_t ScrittureSuNonCancellato() const { return suNonCancellato_; }

 private:
  GuastiPic guasti_;
  std::vector<std::uint8_t> flash_;
  std::vector<std::uint8_t> config_;
  std::vector<std::uint8_t> dati_;
  std::vector<std::uint32_t> cancellazioni_;
  std::uint32_t suNonCancellato_ = 0;
};

}  // namespace bricola::sim
