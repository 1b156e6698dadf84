// CLoadCheckMicro: finds out which microcontroller a board carries. It probes,
// in an order set by the expected family, the FR ROM bootstrap (MB91F465), the
// F2MC-16FX one (MB96F338), the F2MC-16LX one (a RAM loader then tells
// MB90F549, MB90F345 or MB90F497) and a resident boot that answers GetMicro.
#pragma once

#include <cstdint>

#include "bootstrap/bootstrap.h"

namespace bricola {

// Micro codes.
inline constexpr std::uint8_t kMicro90F549 = 'Q';
inline constexpr std::uint8_t kMicro90F345 = 'R';
inline constexpr std::uint8_t kMicro90F497 = 'S';
inline constexpr std::uint8_t kMicro96F338 = 'T';
inline constexpr std::uint8_t kMicro91F465 = 'U';
inline constexpr std::uint8_t kMicroIgnoto = 0xFF;

// The name the micro check shows for a code ("Fu9!F!!!" when unknown).
const char* NomeMicro(std::uint8_t codice);

class CLoadCheckMicro : public CLoadBootstrap {
 public:
  enum : int {
    P_CHECK_465 = 0, P_INVIO_CHECK_338 = 1, P_CHECK_338 = 2, P_INVIO_CHECK = 3, P_CHECK = 4,
    P_BLOCCO = 5, P_CODICE_MICRO = 6, P_INVIO_GET_FIRMA = 7, P_GET_FIRMA = 8, P_MICRO = 9,
    P_FINE = 11
  };
  // The probes.
  enum class Prova { Fr, F2mc16Fx, F2mc16Lx, Boot, Nessuna };

  CLoadCheckMicro();

  // Uses only tipoMicro (the expected family: 1, 2, 4, 6, 8, any other value
  // probes every family), the interface and esito. 1 when the first probe went out.
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  // RTS cleared, then a DTR pulse without RTS.
  int Termina() override;

  // The code found by the last job (kMicroIgnoto when none) and whether it
  // came from a resident boot.
  void CodiceMicro(std::uint8_t* codice, bool* daBoot) const {
    *codice = codiceMicro;
    *daBoot = viaBoot;
  }
  // The manual reset of the micro check: 4800 bit/s, a DTR pulse of the given
  // length with or without RTS. 1 done; 0 with RC_PORT_ACCESS.
  int GeneraReset(CInterfaccia* interfaccia, int conRts, int millisecondi, int* esito);

  int ModoProva() const { return modoProva; }

 private:
  static constexpr int kVelocitaCaricatore = 9600;

  // Starts a probe (its reset, attempts and first step). 1 running; 0 ended.
  int AvviaProva(Prova p);
  // The probe to run after p's check failed for good.
  Prova Seguente(Prova p) const;
  // A probe's check failed for good: the next probe, or the end with the micro
  // not identified.
  int ProvaFallita(Prova p);

  int InvioCheck465();
  int InvioCheck338();
  int InvioCheck();
  int InvioMicro();
  int InvioGetFirma();
  int Check465Ricevi();
  int Check338Ricevi();
  int CheckRicevi(int* aggiorna);
  int BloccoCaricatore(int* aggiorna);
  int CodiceMicroRicevi();
  int GetFirmaRicevi();
  int RiprovaFirma(int codice);
  int MicroRicevi();

  std::uint8_t codiceMicro = kMicroIgnoto;
  bool viaBoot = false;
  int modoProva = 0;
};

}  // namespace bricola
