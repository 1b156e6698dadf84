// The simulated vending machine: the boards with their resident boots, the
// CAN forwarding of the local board, and the serial line between the PC and
// the local board (baud rate, data format, DTR and RTS). No sockets here: the
// server feeds bytes and line events in and sends what comes out.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <mutex>
#include <string>
#include <vector>

#include "sim/f2mc_sim.h"
#include "sim/flash_sim.h"
#include "sim/minimo_sim.h"
#include "sim/fr_sim.h"
#include "sim/protocollo_sim.h"
#include "sim/scheda_68331_sim.h"

namespace bricola::sim {

enum class TipoGuasto {
  Silenzio,      // the board does not answer
  Nack,          // the board answers F9
  Controllo,     // the reply's check is corrupted
  NonGestito,    // the board answers F7 FF + check
  BitInvertito,  // Write: one bit of the written data is flipped (read-back mismatch)
  Stato,         // the reply's status byte is replaced
  BitRisposta,   // one bit of the reply is flipped after its check was computed
  Chiusura,      // the connection drops when the request arrives (nothing is answered)
};

struct Guasto {
  TipoGuasto tipo = TipoGuasto::Silenzio;
  bool tuttiIComandi = false;   // "*" in the machine file
  Comando comando = Comando::Sconosciuto;
  int volte = -1;               // requests affected; -1 every one
  int usati = 0;
  int dopo = 0;                 // matching requests let through before the fault starts
  int saltati = 0;
  std::uint8_t stato = STATO_ERRORE;  // Stato: the status byte to send
  std::uint32_t posizione = 0;        // BitInvertito: byte of the packet; BitRisposta: byte of the reply
  std::uint8_t bit = 0;               // BitInvertito, BitRisposta: bit of that byte
};

struct ConfigScheda {
  std::string nome = "locale";
  std::uint16_t codice = 0x1234;
  std::uint8_t versione = 0x68;
  std::uint8_t tipoMicro = 1;
  std::uint8_t velocitaMassima = 1;        // GetVelocitaMassima: 1 offers 115200, FF stays at 38400
  std::uint8_t codiceBuffer = 0x80 + 32;   // LunBuf: <= 128 bytes, else (v - 128) x 16 bytes
  std::uint16_t indirizzoCan = 0;
  bool modoDati = true;                    // accepts ModoDati
  bool inApplicazione = false;             // at start the application runs (no boot until a reset or Reboot)
  std::array<std::uint32_t, NUM_COMANDI> ritardiMs{};  // extra answer time per command
  std::vector<Guasto> guasti;
};

enum class ModoScheda { Boot, Applicazione, Bootstrap };

class CSchedaSim {
 public:
  CSchedaSim() = default;
  CSchedaSim(ConfigScheda c, CFlashSim f);
  // A 68331 board: no resident boot, the framed packet link instead (local board only).
  explicit CSchedaSim(Config68331 c);

  ConfigScheda config;
  CFlashSim flash;
  std::optional<CChipFrSim> fr;  // an MB91F465: its ROM bootstrap and kernel
  std::optional<CChipF2mcSim> f2mc;  // an F2MC micro: its ROM bootstrap and the RAM loaders it runs
  ModoScheda modo = ModoScheda::Boot;
  bool modoDatiAttivo = false;
  bool fineRicevuto = false;
  int reset = 0;  // resets seen since start
  std::optional<CScheda68331Sim> s68331;

  int ByteIndirizzo() const { return config.tipoMicro == MICRO_INDIRIZZI_32 ? 4 : 3; }
  std::uint32_t BufferByte() const {
    return config.codiceBuffer <= 128 ? config.codiceBuffer : (config.codiceBuffer - 128u) * 16u;
  }
};

struct OpzioniLinea {
  bool spazzatura = false;           // bytes at the wrong baud arrive as garbage instead of being lost
  std::uint32_t pausaMassimaMs = 100;  // a silence longer than this drops a partial request
  std::uint32_t seme = 1;            // garbage generator
  std::uint64_t chiudiDopoByte = 0;  // drop the connection after this many bytes from the PC (0 never)
};

// Bytes for the PC, and how long the board takes before it starts sending them.
struct Uscita {
  std::vector<std::uint8_t> byte;
  std::uint32_t ritardoMs = 0;
};

// Timestamped record of line events and frames.
class CTrascrizione {
 public:
  explicit CTrascrizione(std::ostream* uscita, std::int64_t origineMs) : uscita_(uscita), origine_(origineMs) {}
  void Riga(std::int64_t ms, const std::string& testo);
  void Frame(std::int64_t ms, const char* verso, const std::string& scheda, Comando c, const std::uint8_t* d,
             std::size_t n);

 private:
  std::ostream* uscita_;
  std::int64_t origine_;
  std::mutex mutex_;  // the devices' thread writes here too
};

class CMacchinaSim {
 public:
  // The first board is the local one, wired to the PC.
  explicit CMacchinaSim(std::vector<CSchedaSim> schede, OpzioniLinea opzioni = {});

  void ImpostaTrascrizione(CTrascrizione* t) { trascrizione_ = t; }
  // Where the line events and the pauses the boards need are told (not owned; null: nowhere).
  void ImpostaMinimo(CMinimoLinea* m);

  // Line events from the PC.
  void ImpostaBaud(std::uint32_t baud, std::int64_t ms);
  void ImpostaBitDati(std::uint8_t bit, std::int64_t ms);
  void ImpostaParita(std::uint8_t parita, std::int64_t ms);  // 1 none, 2 odd, 3 even, 4 mark, 5 space
  void ImpostaBitStop(std::uint8_t stop, std::int64_t ms);   // 1 one, 2 two, 3 one and a half
  void ImpostaDtr(bool attivo, std::int64_t ms);
  void ImpostaRts(bool attivo, std::int64_t ms);
  void Svuota(std::uint8_t quale, std::int64_t ms);

  // Bytes from the PC; returns what the boards send back, in order.
  std::vector<Uscita> DalPc(const std::uint8_t* dati, std::size_t n, std::int64_t ms);
  // The boards' own timers (a 68331 board asking again): the next time one
  // is due (-1 none), and what the boards send when it has come.
  std::int64_t ProssimaScadenza() const;
  std::vector<Uscita> Scadenze(std::int64_t ms);
  // A new connection: the line returns to its defaults (the boards keep their state).
  void NuovaConnessione(std::int64_t ms);
  // True once the "drop the connection" fault has fired; the server then
  // closes the connection and calls ConnessioneChiusa (the fault fires once).
  bool ConnessioneDaChiudere() const { return chiudi_; }
  void ConnessioneChiusa() {
    chiudi_ = false;
    opzioni_.chiudiDopoByte = 0;
  }
  // PURGE-DATA bit of the buffer holding data toward the PC.
  static constexpr std::uint8_t SVUOTA_VERSO_PC = 1;

  std::uint32_t BaudLinea() const { return baudLinea_; }
  std::uint32_t BaudLocale() const { return baudLocale_; }
  std::uint8_t BitDati() const { return bitDati_; }
  std::uint8_t Parita() const { return parita_; }
  std::uint8_t BitStop() const { return bitStop_; }
  bool Dtr() const { return dtr_; }
  bool Rts() const { return rts_; }
  std::size_t NumeroSchede() const { return schede_.size(); }
  CSchedaSim& Scheda(std::size_t i) { return schede_[i]; }
  const CSchedaSim& Scheda(std::size_t i) const { return schede_[i]; }
  std::size_t Destinatario() const { return destinatario_; }
  // How the PC left the line, for judging whether it released the board: the
  // levels it last set (kept over the end of its connection), the resets by
  // DTR pulse and whether the last one had RTS asserted and came after the
  // PC's last data byte (a final pulse that restarts the board from its flash).
  struct StatoRilascio {
    bool dtr = false;
    bool rts = false;
    int resetConRts = 0;
    int resetSenzaRts = 0;
    bool ultimoResetConRts = false;
    bool ultimoResetDopoDati = false;
  };
  const StatoRilascio& Rilascio() const { return rilascio_; }

 private:
  // The 68331 board on the cable: its bytes, and what it sends through the line.
  std::vector<Uscita> DalPc68331(const std::vector<std::uint8_t>& ricevuti, std::int64_t ms);
  void Invia68331(std::vector<Emissione68331> e, std::vector<Uscita>& uscite, std::int64_t ms);

  bool LineaCompatibile() const;
  std::uint8_t Spazzatura();
  void Traccia(std::int64_t ms, const std::string& testo);
  void EseguiRichiesta(const std::vector<std::uint8_t>& richiesta, std::int64_t ms, std::vector<Uscita>& uscite);
  // The board's reply to a checked request, before faults; empty = no answer.
  std::vector<std::uint8_t> Rispondi(CSchedaSim& s, Comando c, const std::vector<std::uint8_t>& r, Guasto* inverti,
                                     std::int64_t ms);
  void Invia(std::vector<std::uint8_t> byte, std::uint32_t ritardoMs, std::vector<Uscita>& uscite, std::int64_t ms);
  void ResetLocale(std::int64_t ms);
  // MB91F465 of the local board: chip erase completion and bytes in bootstrap or kernel.
  void AggiornaFr(std::int64_t ms);
  void DalPcFr(const std::uint8_t* dati, std::size_t n, std::int64_t ms, std::vector<Uscita>& uscite);
  // F2MC micro of the local board in its ROM bootstrap or running a RAM loader.
  void DalPcF2mc(const std::uint8_t* dati, std::size_t n, std::int64_t ms, std::vector<Uscita>& uscite);

  std::vector<CSchedaSim> schede_;
  OpzioniLinea opzioni_;
  CTrascrizione* trascrizione_ = nullptr;
  CMinimoLinea* minimo_ = nullptr;
  // What the local board needs after its reset before the PC's first byte.
  double PausaAvvio() const;

  std::uint32_t baudLinea_ = BAUD_BOOT;
  std::uint8_t bitDati_ = 8;
  std::uint8_t parita_ = 1;
  std::uint8_t bitStop_ = 1;
  bool dtr_ = false;
  bool rts_ = false;

  std::uint32_t baudLocale_ = BAUD_BOOT;
  std::uint32_t baudDopoRisposta_ = 0;  // pending speed switch, applied once the reply is out
  std::size_t destinatario_ = 0;
  std::vector<std::uint8_t> ingresso_;  // request being received
  std::int64_t ultimoByteMs_ = 0;
  bool scarta_ = false;                 // dropping the rest of an unknown request
  std::uint64_t byteRicevuti_ = 0;
  bool chiudi_ = false;
  std::uint32_t statoSpazzatura_ = 1;
  StatoRilascio rilascio_;
};

}  // namespace bricola::sim
