// The loader contract: every protocol engine that moves one module between an
// image file and a target derives from CLoad. The Fujitsu loaders also take
// CLoadFujitsu, which owns the serial line while the loader runs (requests and
// replies, baud rate, stop bits, the DTR/RTS pulses that reset a board, and the
// 3-byte request check).
#pragma once

#include <cstdint>
#include <string>

#include "base/registro.h"
#include "comm/interfaccia.h"
#include "image/file.h"

namespace bricola {

// Bits of the `opzioni` argument of Avvia.
enum : int {
  OPZ_SENZA_RILETTURA = 1 << 0,      // do not read back what was written
  OPZ_BOOT_UNIVERSALE = 1 << 1,      // accept a universal boot and leave it universal
  OPZ_RILETTURA_OTTIMIZZATA = 1 << 2,  // read back only where the micro needs it
  OPZ_VELOCITA_FISSA = 1 << 3,       // keep the start baud rate
  OPZ_SCRITTURA_LENTA = 1 << 4,      // send each byte of a data request 1 ms apart
  OPZ_BUFFER_128 = 1 << 5,           // limit the board's packet buffer to 128 bytes
  OPZ_VIA_BOOT = 1 << 6,             // the identification loader went through a resident boot
  OPZ_MODO_2 = 1 << 7,               // the interface runs in mode 2
  OPZ_SOLO_VERIFICA = 1 << 8,        // resident boot: compare the board with the module, write nothing
};

// Time source of a loader: a monotonic millisecond clock and a sleep. The
// default is the steady clock; tests install a clock of their own that moves
// only when they say so.
class COrologio {
 public:
  virtual ~COrologio() = default;
  virtual std::int64_t Millisecondi() = 0;
  virtual void Dormi(int millisecondi) = 0;
  // Waits at most `millisecondi` for the line's wake-up (null: the line has
  // none) and may return earlier: the caller looks at what has come and at
  // its clock again. true when woken. The system clock sleeps on the wake-up;
  // this default, for clocks of their own, sleeps one millisecond of them.
  virtual bool AttendiSveglia(CSveglia* sveglia, int millisecondi) {
    (void)sveglia;
    if (millisecondi > 0) Dormi(1);
    return false;
  }
};
COrologio& OrologioDiSistema();

class CLoad : public CFileRegistro {
 public:
  CLoad() = default;
  ~CLoad() override = default;
  CLoad(const CLoad&) = delete;
  CLoad& operator=(const CLoad&) = delete;

  // Milliseconds between two steps while this loader runs.
  virtual int PeriodoTimer() = 0;
  // 1 started, 0 refused; the result code through esito in every case (0 when started).
  //   percorso: image file; inizio, fine: module offsets (fine = its 4 closing bytes);
  //   codice: the module's machine code; indirizzi: indirizzo, indirizzoSecondario,
  //   indirizzoPredefinito, indirizzoSecondarioPredefinito; modo: the operation's mode
  //   flag (the resident-boot loader: start at the addressing step, no reset);
  //   velocita: start baud and alternate baud; opzioni: OPZ_* bits.
  virtual int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                    std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo,
                    int tipoLoad, int tipoMicro, CInterfaccia* interfaccia, int modo,
                    const int* velocita, int opzioni, int* esito) = 0;
  // 1 still running, 0 finished (then read fase and esito). *aggiorna = 1 when
  // the operation should redraw its statistics.
  virtual int Passo(int* aggiorna) = 0;
  // Releases what Avvia opened.
  virtual int Termina() = 0;
  // Name of the entry to write (UTF-8, may be null); the base ignores it.
  virtual void ImpostaNome(const char* nome) { (void)nome; }
  virtual void ImpostaOpzione(int valore) { (void)valore; }

  // The clock behind deadlines, seconds and sleeps (not owned).
  void ImpostaOrologio(COrologio* nuovo) { orologio = nuovo ? nuovo : &OrologioDiSistema(); }
  COrologio& Orologio() const { return *orologio; }

  // Deadline of the pending request: now + ms.
  void ImpostaScadenza(int ms);
  // Milliseconds left before the deadline (negative once past).
  long Margine() const;
  int Scaduto() const;
  // Whole seconds of the loader clock.
  int Secondi() const;

  // Positions fileModulo at inizio and walks the module's records for
  // lunghezza bytes: totale gets the payload bytes (twice unless
  // conteggioSemplice), blocchi the data records with a payload. 0 only when a
  // record header cannot be read.
  int ContaBlocchi(std::uint32_t inizio, std::uint32_t lunghezza, int conteggioSemplice,
                   int* totale, int* blocchi);
  // From the current position, the next data record with a payload: its
  // length and target address, the file then positioned at the payload.
  // 0 at the end record or when a header cannot be read.
  int ProssimoBlocco(int* lunghezza, int* indirizzo);

  // Progress, read by the operation.
  int tempoInizio = 0;
  int tempoUltimo = 0;
  int byteTotali = 0;
  int byteFatti = 0;
  int byteRimanenti = 0;
  int byteRipetuti = 0;
  int contatore68331 = 0;  // used only by the 68331 loader
  int fase = 0;
  int esito = 0;

 protected:
  CFileWin fileModulo;
  std::int64_t scadenza = 0;  // milliseconds of the loader clock
  COrologio* orologio = &OrologioDiSistema();
};

// HashRuota5: h = (h rotated left 5 within 16 bits) XOR b, for each byte.
std::uint16_t HashRuota5(const std::uint8_t* dati, int n, std::uint16_t iniziale = 0);

// Companion of the Fujitsu loaders: the serial line and the frame checks.
class CLoadFujitsu {
 public:
  CLoadFujitsu() = default;

  void Collega(CInterfaccia* nuova);
  // SvuotaLinea, byteRicevuti = 0, then the bytes (one by one, 1 ms apart, when lento).
  int ScriviGrezzo(const std::uint8_t* dati, int n, int lento);
  // ScriviGrezzo; 0 unless every byte went out; then arms reception of the reply.
  int InviaRichiesta(const std::uint8_t* trama, int n, int lunghezzaRisposta, int timeoutMs,
                     int lento);
  // Collects what has arrived of an n-byte reply into buffer + byteRicevuti.
  // 1 if this call took at least one byte.
  int RiceviRisposta(std::uint8_t* buffer, int n);
  int ImpostaVelocita(int baud);
  int ImpostaBitStopLinea(int n);
  int AbbassaRts();
  int AlzaRts();
  int ImpulsoDtr(int conRts, int ms);
  int ImpulsoDtrStandard(int conRts) { return ImpulsoDtr(conRts, 600); }
  int RiapriCollegamento();
  void InoltraDestinatario(int base, int indirizzo);

  // Appends the 3 check bytes after the n bytes of a request, so that
  // HashRuota5 over the whole request is 0. The frame needs room for n + 3.
  static void AggiungiControllo(std::uint8_t* trama, int n);
  // 1 if reply[0] is `primo` and the last two bytes (little-endian) carry
  // HashRuota5 of the bytes before them.
  static int VerificaRisposta(const std::uint8_t* risposta, int n, std::uint8_t primo);

  HandleLinea handleLinea = kHandleNonValido;
  CInterfaccia* interfaccia = nullptr;
  int statoRts = 0;
  int statoDtr = 0;
  int bitStop = 1;
  int baudCorrente = 9600;
  int byteRicevuti = 0;
  int lunghezzaAttesa = 0;

 protected:
  // Sleeps of the line changes; the loader sets it to its own clock.
  COrologio* orologioLinea = &OrologioDiSistema();
};

}  // namespace bricola
