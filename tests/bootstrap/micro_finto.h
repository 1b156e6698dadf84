// A scripted microcontroller on the far end of the programming cable, for the
// ROM-bootstrap loaders: DTR resets it, RTS held through the reset (or at
// power-on) starts its ROM bootstrap; it speaks the F2MC-16LX, F2MC-16FX or FR
// bootstrap bytes, stores what it is sent into RAM, runs its RAM loader on the
// execute command (the boot protocol subset of the writers, the micro query of
// the identification loader, the chip erase), or a resident boot that answers
// GetFirma and GetMicro. Faults are set as fields.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "comm/interfaccia.h"
#include "tests/load/scheda_finta.h"

namespace bricola::prova {

enum class Famiglia { F2mc16Lx, F2mc16Fx, Fr, BootResidente, Muto };

struct SBloccoVisto {
  std::uint16_t indirizzo;
  int lunghezza;
};

class CMicroFinto {
 public:
  explicit CMicroFinto(COrologio& o) : orologio(&o) {}

  // The board.
  Famiglia famiglia = Famiglia::F2mc16Lx;
  std::vector<std::uint32_t> settori;  // starts, then the end
  int baudBootstrap = 4800;
  int baudCaricatore = 9600;
  std::int64_t accensione = 0;  // powered from this time (loader clock)
  std::uint8_t codiceMicro = 'Q';  // the RAM loader's answer to A5
  std::uint8_t microBoot = 8;      // GetMicro of a resident boot
  std::uint8_t lunBuf = 0x40;
  // Paced line: a reply becomes visible only once the request and the reply
  // would have crossed the line at 10 bits a byte.
  bool cadenzato = false;

  // Faults.
  int bloccoGuasto = -1;          // this RAM-loader block (0-based) is answered with rispostaGuasta
  std::uint8_t rispostaGuasta = 0x00;
  std::set<std::uint32_t> nonCancellabili;  // sectors whose erase answers 1
  std::uint32_t indirizzoAlterato = 0xFFFFFFFF;  // reads back changed
  std::uint8_t risultatoEraseChip = 0;
  int checkSbagliati = 0;  // 16FX: so many '<' before the 'F'

  // What happened.
  std::map<std::uint32_t, std::uint8_t> flash;  // absent = FF
  std::map<std::uint32_t, std::uint8_t> ram;
  std::vector<SBloccoVisto> blocchi;
  std::vector<std::uint8_t> comandi;  // first byte of each RAM-loader request
  std::vector<std::uint32_t> blank, erase, scritture, letture;
  std::vector<int> lunghezzeScritture;
  int check = 0;        // bootstrap checks seen in bootstrap mode
  int eseguito = 0;     // execute commands
  bool chipCancellato = false;
  int richiesteFirma = 0;

  void Reset(bool rts);
  void Ricevi(const std::uint8_t* dati, int n, int baud, bool rts);
  int Prendi(std::uint8_t* d, int n);
  void Svuota() { uscita.clear(); }
  std::uint8_t Flash(std::uint32_t a) const {
    auto it = flash.find(a);
    return it == flash.end() ? 0xFF : it->second;
  }

 private:
  enum class Modo { Spento, Bootstrap, Caricatore, Applicazione };
  void Accendi(bool rts);
  void Bootstrap16Lx();
  void Bootstrap16Fx();
  void Caricatore();
  void Boot();
  void Rispondi(std::vector<std::uint8_t> r, bool conControllo, bool doppio = false);
  std::uint32_t Settore(std::uint32_t a) const;

  COrologio* orologio;
  Modo modo = Modo::Spento;
  bool acceso = false;
  std::vector<std::uint8_t> ingresso;
  std::vector<std::uint8_t> uscita;
  std::int64_t pronto = 0;
  int contaBlocchi = 0;
  int contaCheck = 0;
  bool calibrato = false;
};

// The interface the loaders talk to: the micro on one side, the fake port of
// tests/load for the line changes on the other.
class CInterfacciaMicro : public CInterfaccia {
 public:
  CInterfacciaMicro(CMicroFinto& m, SStatoLinea& l) : micro(m), linea(l) {}
  ~CInterfacciaMicro() override { ChiudiLinea(); }
  int ApriLinea(int porta, int baud, int flagLinee, int* esito) override;
  int RiapriLinea(int* esito) override { return ApriLinea(2, 9600, 0, esito); }
  int ChiudiLinea() override;
  int ScriviLinea(const std::uint8_t* dati, int lunghezza) override;
  int LeggiLinea(std::uint8_t* destinazione, int lunghezza) override;
  int SvuotaLinea() override {
    micro.Svuota();
    return 1;
  }
  void ImpostaDestinatario(int, int) override {}
  void AttendiRisposta(int, int) override {}

  int byteScritti = 0;
  bool scritturaGuasta = false;

 private:
  CMicroFinto& micro;
  SStatoLinea& linea;
};

}  // namespace bricola::prova
