// The PIC programming interface: it sits behind the same driver device as the
// parallel key, reached through a second handle of its own. The driver layer
// below holds that handle for the whole process (one PIC interface at a time);
// CIntPic opens and closes it for a job, and the PIC loader sends its requests
// through the layer directly.
//
// Requests (little-endian fields; each must succeed, return exactly its output
// length and carry a status of 0 in it):
//   mode on / off  0xE2E96054  in: u16 1 / u16 0                      out: u32 status
//   ComandoPic     0xE2E96060  in: u32 value, u8 1                    out: u32 status
//   LeggiPic       0xE2E96058  in: u32 address, u16 length (<= 512)   out: 512 data bytes, u32 status
//   ScriviPic      0xE2E9605C  in: u8 1, u32 address, u16 length (<= 264), 512 bytes of data room
//                                                                     out: u32 status
#pragma once

#include <cstdint>

#include "comm/interfaccia.h"

namespace bricola {

inline constexpr std::uint32_t kCodicePicModo = 0xE2E96054;
inline constexpr std::uint32_t kCodicePicComando = 0xE2E96060;
inline constexpr std::uint32_t kCodicePicLeggi = 0xE2E96058;
inline constexpr std::uint32_t kCodicePicScrivi = 0xE2E9605C;
inline constexpr int kMaxLetturaPic = 512;
inline constexpr int kMaxScritturaPic = 264;

// The driver layer; every call returns 1 on success, 0 on failure.
// Opens the driver device of PIC interface `porta` and turns the PIC mode on;
// a refused mode on closes the device again.
int ApriPic(int porta);
// Mode off, then the device closed; 1 only when both succeeded. 0 when closed already.
int ChiudiPic();
// Erases the sector that starts at the value.
int ComandoPic(std::uint32_t valore);
// The first `lunghezza` data bytes of the reply into buffer (at most 512).
int LeggiPic(std::uint32_t indirizzo, std::uint8_t* buffer, int lunghezza);
// At most 264 bytes.
int ScriviPic(std::uint32_t indirizzo, const std::uint8_t* dati, int lunghezza);
// Whether the layer's handle is open.
bool PicAperto();

class CIntPic : public CInterfaccia {
 public:
  CIntPic() = default;

  // Opens the PIC interface `porta` (0-based); RC_PORT_OPEN when it cannot.
  int ApriLinea(int porta, int baud, int flagLinee, int* esito) override;
  int RiapriLinea(int* esito) override;
  int ChiudiLinea() override;
  // No byte stream runs through the PIC interface.
  int ScriviLinea(const std::uint8_t*, int) override { return -1; }
  int LeggiLinea(std::uint8_t*, int) override { return -1; }
  int SvuotaLinea() override { return -1; }

  int numeroPorta = 0;
};

}  // namespace bricola
