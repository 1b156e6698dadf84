// CLoadClearMicro: erases the whole flash of an MB90F345 through its ROM
// bootstrap. The board is powered up by the user with RTS (the mode line)
// already asserted; the MB90F345 RAM loader is sent and asked to erase the chip.
#pragma once

#include "bootstrap/bootstrap.h"

namespace bricola {

class CLoadClearMicro : public CLoadBootstrap {
 public:
  enum : int { P_INVIO_CHECK = 0, P_CHECK = 1, P_BLOCCO = 2, P_ERASE_CHIP = 3, P_FINE = 4 };
  static constexpr int kMicroAmmesso = 4;  // the MB90F345 family

  CLoadClearMicro();

  // Uses tipoMicro (must be 4), the interface and esito.
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  // RTS cleared.
  int Termina() override;

 private:
  int InvioCheck();
  int CheckRicevi(int* aggiorna);
  int BloccoCaricatore(int* aggiorna);
  int EraseChipRicevi();
};

}  // namespace bricola
