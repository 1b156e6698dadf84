// CIntParallela: the interface of every job on the Memox key, on USB or on a
// parallel port. It carries no byte stream: opening it opens the key device,
// recognises the key and, when asked, empties it; the key loaders then work
// on the key device directly. It lives beside the key devices because it
// needs them; the interface contract it fulfils stays below, in comm/.
#pragma once

#include "comm/interfaccia.h"
#include "key/memox_interfaccia.h"

namespace bricola {

class CIntParallela : public CInterfaccia {
 public:
  CIntParallela() = default;

  // baud is ignored; svuota: erase the directory page once the key is recognised.
  // Failures: RC_PORT_OPEN (no device or it cannot be opened), RC_KEY_NOT_FOUND,
  // RC_KEY_ABSENT, RC_KEY_DRIVER, RC_KEY_FAULT, RC_KEY_UNKNOWN, RC_BLOCK_WRITE;
  // any failure after the device opened closes it again.
  int ApriLinea(int porta, int baud, int svuota, int* esito) override;
  int RiapriLinea(int* esito) override { return ApriLinea(portaAperta, 0, 0, esito); }
  int ChiudiLinea() override;
  int ScriviLinea(const std::uint8_t*, int) override { return -1; }
  int LeggiLinea(std::uint8_t*, int) override { return -1; }
  int SvuotaLinea() override { return -1; }

  // The key device of the next open (not owned).
  void ImpostaDispositivoChiave(CMemoxInterfaccia* d) { dispositivoChiave = d; }
  CMemoxInterfaccia* DispositivoChiave() const { return dispositivoChiave; }
  // Erases the whole key through the device.
  int CancellaTuttaChiave();
  bool Aperta() const { return aperta; }

 private:
  int portaAperta = 0;
  CMemoxInterfaccia* dispositivoChiave = nullptr;
  bool aperta = false;
};

}  // namespace bricola
