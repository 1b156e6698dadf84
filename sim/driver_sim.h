// The kernel driver of the parallel-port key and PIC interface, from the
// device's side: each request is a control code, its input bytes and the room
// the caller gives for the output.
#pragma once

#include <cstdint>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/chiave_sim.h"
#include "sim/pic_sim.h"

namespace bricola::sim {

namespace codice {
constexpr std::uint32_t IDENTIFICA = 0xE2E9600C;
constexpr std::uint32_t CANCELLA_PAGINA = 0xE2E9602C;
constexpr std::uint32_t ESTESO = 0xE2E960A4;
constexpr std::uint32_t LEGGI_A = 0xE2E96018;
constexpr std::uint32_t LEGGI_B = 0xE2E9601C;
constexpr std::uint32_t SCRIVI = 0xE2E96020;
constexpr std::uint32_t LEGGI_A_ESTESO = 0xE2E96038;
constexpr std::uint32_t LEGGI_B_ESTESO = 0xE2E96034;
constexpr std::uint32_t SCRIVI_ESTESO = 0xE2E96030;
constexpr std::uint32_t PIC_MODO = 0xE2E96054;
constexpr std::uint32_t PIC_COMANDO = 0xE2E96060;
constexpr std::uint32_t PIC_LEGGI = 0xE2E96058;
constexpr std::uint32_t PIC_SCRIVI = 0xE2E9605C;
}  // namespace codice

struct ConfigDriver {
  bool esteso = true;  // the extended request set is there
};

// One open handle on the driver device.
struct SessioneDriver {
  bool modoPic = false;
};

class CDriverSim {
 public:
  // Either device may be missing (nullptr): no key plugged in, no PIC board.
  CDriverSim(ConfigDriver c, CChiaveSim* chiave, CPicSim* pic) : config_(c), chiave_(chiave), pic_(pic) {}

  // One request; returns the result (1 done, 0 refused), fills the output and
  // describes the request in `voce`.
  bool Richiesta(SessioneDriver& s, std::uint32_t codice, const std::vector<std::uint8_t>& ingresso,
                 std::uint32_t capacita, std::vector<std::uint8_t>& uscita, nlohmann::json& voce);

 private:
  bool Chiave(std::uint32_t codice, const std::vector<std::uint8_t>& in, std::vector<std::uint8_t>& out,
              nlohmann::json& voce);
  bool Pic(SessioneDriver& s, std::uint32_t codice, const std::vector<std::uint8_t>& in,
           std::vector<std::uint8_t>& out, nlohmann::json& voce);

  ConfigDriver config_;
  CChiaveSim* chiave_;
  CPicSim* pic_;
};

}  // namespace bricola::sim
