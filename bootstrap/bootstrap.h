// What every ROM-bootstrap loader shares: the reset into the microcontroller's
// ROM bootstrap and the release at the end, the frames of the bootstrap
// dialects (F2MC-16LX, F2MC-16FX, FR check), the RAM-loader pieces sent block
// by block, the attempt/deadline pattern with its log lines, and the boot
// protocol frames the RAM loaders answer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/esiti.h"
#include "bootstrap/caricatori_ram.h"
#include "load/load.h"
#include "load/protocollo_boot.h"

namespace bricola {

// --- bootstrap dialects -----------------------------------------------------------

// F2MC-16LX.
inline constexpr std::uint8_t kCheck16Lx = 0x18;
inline constexpr std::uint8_t kCheckOk16Lx = 0x11;
inline constexpr std::uint8_t kBloccoOk16Lx = 0x01;
inline constexpr int kMaxBlocco16Lx = 255;
inline constexpr std::uint8_t kEsegui16Lx[5] = {0x40, 0x00, 0x00, 0x00, 0x00};
// F2MC-16FX.
inline constexpr std::uint8_t kCheck16Fx[5] = {0x00, 0x55, 0x66, 0x77, 0x88};
inline constexpr std::uint8_t kCalibrateOff16Fx[5] = {0x00, 0x55, 0x87, 0x00, 0x78};
inline constexpr std::uint8_t kEsegui16Fx[5] = {0x9F, 0x20, 0x7A, 0x00, 0xC5};
inline constexpr std::uint8_t kCheckOk16Fx = 'F';
inline constexpr std::uint8_t kCheckAccettato16Fx = 'Z';
inline constexpr std::uint8_t kChecksumErrata16Fx = '<';
inline constexpr std::uint8_t kOk16Fx = 'i';
inline constexpr int kMaxBlocco16Fx = 256;
// FR.
inline constexpr std::uint8_t kCheckFr = 'V';
inline constexpr std::uint8_t kCheckOkFr = 'F';

// Room of a bootstrap block frame (the largest: 16FX, 7 + 256).
inline constexpr int kMaxTramaBlocco = 7 + kMaxBlocco16Fx;

// F2MC-16LX block: 00, address high then low, 00, n, data, low byte of the sum.
// n at most 255. Returns the frame length n + 6.
int TramaBlocco16Lx(std::uint16_t indirizzoRam, const std::uint8_t* dati, int n, std::uint8_t* trama);
// Folded sum: bytes added, then while 256 or more the sum of bits 16-23, 8-15, 0-7.
std::uint8_t SommaPiegata(const std::uint8_t* dati, int n);
// 0xFF minus the folded sum.
std::uint8_t ControlloPiegato(const std::uint8_t* dati, int n);
// F2MC-16FX block: 12, address low, high, 00, n (256 as 00), header check,
// data, frame check. n at most 256. Returns the frame length n + 7.
int TramaBlocco16Fx(std::uint16_t indirizzoRam, const std::uint8_t* dati, int n, std::uint8_t* trama);

// --- boot protocol frames of the RAM loaders (3-byte addresses) --------------------

inline constexpr std::uint8_t kEraseChip = 0xEF;
inline constexpr std::uint32_t kIndirizzoEraseChip = 0xF80000;
CTrama TramaEraseChip();     // EF, 00 00 F8, check
CTrama TramaCancellaChip();  // EF 00, check

// Reply lengths and time limits of the RAM loaders' commands.
inline constexpr int kLunBufRisposta = 4, kLunBufMs = 2000;
inline constexpr int kBlankRisposta = 5, kBlankMs = 6000;
inline constexpr int kEraseRisposta = 5, kEraseMs = 8000;
inline constexpr int kWriteRisposta = 4, kWriteMs = 3000;
inline constexpr int kReadMs = 1000;  // reply n + 3
inline constexpr int kGetFirmaRisposta = 5, kGetFirmaMs = 1000;
inline constexpr int kGetMicroRisposta = 4, kGetMicroMs = 1000;
inline constexpr int kEraseChipRisposta = 5, kEraseChipMs = 20000;
inline constexpr int kCancellaChipMs = 10000;

// --- the common loader ----------------------------------------------------------------

// One piece of a RAM loader: its RAM address and length (the pieces follow
// each other in the image file in sending order).
struct SPezzoRam {
  std::uint32_t indirizzo;
  std::uint32_t lunghezza;
};

enum class Dialetto { F2mc16Lx, F2mc16Fx, Fr };

// How an incomplete reply that timed out is written to the log.
enum class StileTimeout {
  Byte,      // "timeout, ricevuti" and the bytes, or "timeout, nessun carattere ricevuto"
  Conteggio  // "timeout, ricevuti %d caratteri"
};

class CLoadBootstrap : public CLoadFujitsu, public CLoad {
 public:
  int PeriodoTimer() override { return 10; }

  // Send the next block of the RAM loader (opening the next piece when the
  // current one is complete). 1 sent; 0 failed (esito set, the job ended).
  // The default sends F2MC blocks (16LX or 16FX by the dialect); an FR loader
  // sends its kernel segments with its own.
  virtual int InviaCaricatore(int* aggiorna);
  // The last piece has been acknowledged completely.
  virtual bool CaricatoreCompleto() const;

  // Clock of deadlines, seconds and every sleep, line changes included.
  void ImpostaOrologio(COrologio* nuovo);

  int PassoCorrente() const { return passoCorrente; }
  int Tentativi() const { return tentativi; }
  // The image bytes of the RAM loader last read.
  const std::vector<std::uint8_t>& ImmagineCaricatore() const { return immagine; }

 protected:
  CLoadBootstrap(Dialetto dialetto, const char* fileCaricatore, std::size_t lunghezzaCaricatore,
                 std::vector<SPezzoRam> pezzi, int passoFine);

  // Where a boot writer's module starts, as ApriModuloBoot found it.
  struct SModuloBoot {
    int byteDati = 0;           // payload bytes of the module's records
    int blocchi = 0;            // data records with a payload
    std::uint32_t indirizzo = 0;  // target address of the first one
    std::uint32_t resto = 0;      // its length; the file stands at its payload
  };
  // What every boot writer checks before it touches the line: a local board,
  // the module's closing code against codice (0xFF30/0xFF31 taken as
  // 0x0030/0x0031), its records, its first data record, the RAM-loader image.
  // A load type other than 1 is only a warning in esitoAvvio. 0: refused
  // (RifiutaAvvio done, the file closed, the log line written).
  int ApriModuloBoot(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
                     std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo,
                     CInterfaccia* linea, SModuloBoot* modulo, int* esitoAvvio);
  // A start that ends before the first step: fase ST_FAILED, esito and
  // esitoAvvio codice, the module file closed and riga logged when given.
  // Returns 0.
  int RifiutaAvvio(int codice, int* esitoAvvio, const char* riga = nullptr);
  // Reads the RAM-loader image; 0 with esito set (nothing touched on the line).
  int CaricaImmagine(int* esitoAvvio);
  // Sets pezzo 0 and its address and length, offset 0.
  void PrimoPezzo();
  // Sends the block at the current offset of the current piece (deadline
  // 2000 ms, reply 1 byte). 1 sent; 0 the write failed.
  int InvioBlocco();
  // The acknowledge of a block of the RAM loader. Returns ACK_ATTESA while
  // waiting, ACK_FINE when the job ended (failure), ACK_COMPLETO when the
  // last block is in, ACK_PROSSIMO when the next block went out.
  enum { ACK_ATTESA, ACK_FINE, ACK_COMPLETO, ACK_PROSSIMO };
  int BloccoRicevi(int* aggiorna);

  // Request with its hex dump: deadline, log, InviaRichiesta. 1 sent.
  int InviaTrama(const char* registro, const CTrama& trama, int lunghezzaRisposta, int timeoutMs);
  // Single bootstrap bytes (no dump): deadline, InviaRichiesta. 1 sent.
  int InviaByte(const std::uint8_t* dati, int n, int lunghezzaRisposta, int timeoutMs);
  // Collects the reply: 1 complete, 0 not yet (or nothing new).
  int Raccogli(int n);
  // An incomplete reply: 0 keep waiting, else the failure code (35 or 28)
  // with its log line.
  int ErroreRicezione(const char* prefisso, StileTimeout stile);
  // Margin line of a complete reply.
  void RegistraMargine(const char* formato) const { RegistraValore(formato, Margine()); }

  // The replies of a resident boot asked for its signature and its micro
  // (the FR probe), given whether the whole reply has come: kRispostaAttesa
  // keep waiting, kRispostaValida good (GetMicro: the micro in risposta[1]);
  // else the failure code, its line logged.
  static constexpr int kRispostaAttesa = 0, kRispostaValida = -1;
  int ValutaFirmaBoot(bool completa);
  int ValutaMicroBoot(bool completa);

  // Retry step: takes one attempt. 1 with the retry text logged (send again);
  // 0 with the final text logged and the job ended with codice.
  int Tentativo(const char* testoTentativo, const char* testoFine, int codice);
  // Ends the job: fase ST_FAILED, esito codice, the end step. Returns 0.
  int Fallisci(int codice);
  // Ends the job well: fase ST_DONE, esito 0. Returns 0.
  int Riuscito();
  // The refresh flag once a second.
  void AggiornaOgniSecondo(int* aggiorna);

  // Resets: the Boot families' (baud, pulse with RTS, wait; "fine attesa %d ms"
  // when registraAttesa); the probes' (RTS cleared, one stop bit, baud, pulse
  // with or without RTS, wait, "fine attesa %d ms"). 1 done, 0 a line call failed.
  int ImpulsoIniziale(int baud, int attesaMs, bool registraAttesa);
  int ImpulsoProva(int baud, bool conRts, int attesaMs);
  // The Boot families' release: RTS cleared, then a DTR pulse without RTS.
  int ImpulsoFinale();

  Dialetto dialetto;
  const char* fileCaricatore;
  std::size_t lunghezzaCaricatore;
  std::vector<SPezzoRam> pezzi;
  std::vector<std::uint8_t> immagine;
  // The fase set while the RAM loader is sent (ST_SEND_LOADER in the Boot
  // families, 0: left as it is).
  int faseCaricatore = ST_SEND_LOADER;
  // A block that cannot be written ends the job with RC_SERIAL_SEND (the
  // micro check does not test it: the missing acknowledge tells).
  bool testaScritturaBlocco = true;
  // The reset into the bootstrap was begun: Termina releases the board.
  bool lineaToccata = false;

  int passoFine;
  int passoCorrente;
  int tentativi = 0;
  int pezzo = 0;
  std::uint32_t indirizzoRam = 0;
  std::uint32_t lunghezzaPezzo = 0;
  std::uint32_t offsetPezzo = 0;
  std::uint16_t lunghezzaBlocco = 0;
  int velocitaAvvio = 0;
  int velocitaCaricatore = 0;
  std::uint8_t risposta[304] = {};
};

}  // namespace bricola
