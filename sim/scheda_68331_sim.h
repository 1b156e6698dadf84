// A 68331-based board as it sits on the serial cable: after the PC announces a
// module, the board asks for it packet by packet, stores what it receives and
// says when it has it all. Its link layer: frames between the bytes 47 47,
// every 47 of the payload followed by B8; a frame's payload is a packet: a
// big-endian length, the message, a checksum. Written from the board's side:
// everything the PC sends is checked, and whatever a correct PC would never
// send is noted as an anomaly for the tests to look at.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace bricola::sim {

inline constexpr std::uint8_t DELIMITATORE_68331 = 0x47;  // 'G': two of them open and close a frame
inline constexpr std::uint8_t RIEMPIMENTO_68331 = 0xB8;   // follows every 47 of a payload
inline constexpr std::size_t MAX_TRAMA_68331 = 256;       // payload bytes before stuffing
inline constexpr std::size_t MAX_DATI_PACCHETTO_68331 = 253;

// First bytes of the messages.
inline constexpr std::uint8_t MSG_AVVIO_68331 = 0x5A;      // 'Z' PC: total length u32, packet size u16
inline constexpr std::uint8_t MSG_DATI_68331 = 0x50;       // 'P' PC: machine code u16, index u32, data
inline constexpr std::uint8_t MSG_RICHIESTA_68331 = 0x47;  // 'G' board: machine code u16, index u32
inline constexpr std::uint8_t MSG_FINE_68331 = 0x58;       // 'X' board: transfer complete
inline constexpr std::size_t TESTA_DATI_68331 = 7;         // P, code, index

// Sum modulo 256 of (k + byte k) over the bytes given, k from 0.
std::uint8_t Checksum68331(const std::uint8_t* b, std::size_t n);
// Length (u16 big-endian), the message, the checksum.
std::vector<std::uint8_t> Pacchetto68331(const std::vector<std::uint8_t>& messaggio);
// 47 47, the payload with every 47 followed by B8, 47 47.
std::vector<std::uint8_t> Trama68331(const std::vector<std::uint8_t>& payload);

enum class EsitoPacchetto68331 { Ok, Corto, Lunghezza, Checksum };
// Checks a received payload; on Ok `messaggio` holds the message.
EsitoPacchetto68331 AprePacchetto68331(const std::vector<std::uint8_t>& payload, std::vector<std::uint8_t>& messaggio);

// The board's frame receiver. Strict: a 47 inside a frame must be followed by
// B8 (a stuffed 47) or by 47 (the end); anything else spoils the frame.
class CRicevitoreTrame68331 {
 public:
  struct Trama {
    std::vector<std::uint8_t> payload;  // unstuffed
    std::vector<std::uint8_t> grezzo;   // as on the wire, delimiters included
    std::string difetto;                // empty: a good frame
  };
  // Feeds one byte; returns true when a frame ended (good or spoiled) into `t`.
  bool Byte(std::uint8_t b, Trama& t);
  // A silence inside a frame: the partial frame is given up. Returns its raw bytes.
  std::vector<std::uint8_t> Interrompi();
  bool InTrama() const { return stato_ == Stato::Dentro || stato_ == Stato::Dentro47; }
  std::size_t FuoriTrama() const { return fuoriTrama_; }  // bytes seen outside any frame

 private:
  enum class Stato { Fuori, Fuori47, Dentro, Dentro47 };
  Stato stato_ = Stato::Fuori;
  std::vector<std::uint8_t> payload_;
  std::vector<std::uint8_t> grezzo_;
  std::string difetto_;
  std::size_t fuoriTrama_ = 0;
};

enum class TipoGuasto68331 {
  Ripetizione,    // after packet N the board asks for N again
  Controllo,      // the request for N goes out with a wrong checksum
  Lunghezza,      // the request for N goes out with a wrong length field
  FuoriSequenza,  // the board asks for another index in place of N
  OltreFine,      // after the last packet the board asks for packets past the end
  Silenzio,       // start requests ignored, or the board drops the transfer after packet N
  Raffica,        // the request for N goes out several times back to back
  // Faults aimed at one kind of the PC's requests (`richiesta`): the start
  // request ("avvio") or a data packet ("dati"); Silenzio and Controllo take
  // this meaning when a `richiesta` is given.
  Nack,         // a data packet refused: the board asks for it again
  BitRisposta,  // a bit of the answer flipped after its checksum was computed
  Chiusura,     // the connection drops when the request arrives
};

struct Guasto68331 {
  TipoGuasto68331 tipo = TipoGuasto68331::Ripetizione;
  std::int64_t pacchetto = -1;  // -1: the first one it can apply to (Silenzio: the start requests)
  int volte = 1;                // transfers or requests it spoils before it is spent
  std::int64_t richiesto = -1;  // FuoriSequenza: the index asked for (-1: N + 1)
  int richieste = 2;            // OltreFine: requests past the end (the first one is answered by the empty packet)
  int copie = 4;                // Raffica: copies of the request sent back to back
  std::string richiesta;        // not empty: a fault aimed at the PC's requests of that kind ("*" any)
  int dopo = 0;                 // matching requests let through before the fault starts
  int posizione = 1;            // BitRisposta: byte of the answer's packet (negative: from its end)
  int bit = 2;
  int visti = 0;
  int usati = 0;
};

struct Config68331 {
  std::string nome = "scheda68331";
  std::uint16_t codice = 0x0000;        // machine code carried by every request
  std::uint32_t baud = 38400;           // the board's UART
  std::uint32_t inizioMemoria = 0;      // address of the first byte received (dump)
  std::uint32_t dimensioneMemoria = 0x80000;
  std::uint32_t attesaMs = 1000;        // silence after a request before the board asks again
  int tentativi = 3;                    // requests repeated for one packet before giving up
  std::uint32_t ritardoMs = 0;          // the board's time before each request
  std::uint32_t pausaMassimaMs = 100;   // silence that drops a half-received frame
  std::vector<Guasto68331> guasti;
};

// One announced module, as far as it came.
struct Trasferimento68331 {
  std::uint32_t lunghezza = 0;
  std::uint16_t dimensionePacchetto = 0;
  std::vector<std::uint8_t> dati;  // received, in order
  std::uint32_t pacchetti = 0;     // data packets accepted (the empty one included)
  std::uint32_t ripetuti = 0;      // packets received again because the board asked again
  bool pacchettoVuoto = false;     // the empty packet past the end arrived
  std::string esito = "in corso";  // "completo", "abbandonato", "ricominciato", "reset"
};

// Bytes the board sends, and its time before it starts sending them.
struct Emissione68331 {
  std::vector<std::uint8_t> byte;
  std::uint32_t ritardoMs = 0;
};

class CScheda68331Sim {
 public:
  using Traccia = std::function<void(const std::string&)>;

  CScheda68331Sim() = default;
  explicit CScheda68331Sim(Config68331 c) : config(std::move(c)) {}

  Config68331 config;

  std::vector<Emissione68331> DalPc(const std::uint8_t* d, std::size_t n, std::int64_t ms, const Traccia& traccia);
  // The board's own timer: a request left unanswered is asked again.
  std::vector<Emissione68331> Tempo(std::int64_t ms, const Traccia& traccia);
  std::int64_t ProssimaScadenza() const { return scadenza_; }  // -1 none
  void Reset(const Traccia& traccia);

  bool InTrasferimento() const { return stato_ != Stato::Attesa; }
  // The connection must be dropped (a `chiusura` fault fired); reading clears it.
  bool PrendiChiusura() {
    const bool c = chiudi_;
    chiudi_ = false;
    return c;
  }
  int reset = 0;
  const std::vector<std::string>& Anomalie() const { return anomalie_; }
  const std::vector<Trasferimento68331>& Trasferimenti() const { return trasferimenti_; }

 private:
  enum class Stato { Attesa, Dati, OltreFine };
  // Why the PC must not answer the request under way.
  enum class Irregolare { No, Scartare, Rifiutare };

  void Anomalia(const std::string& testo, const Traccia& traccia);
  void Messaggio(const std::vector<std::uint8_t>& m, const std::vector<std::uint8_t>& grezzo, std::int64_t ms,
                 const Traccia& traccia, std::vector<Emissione68331>& out);
  void Avvio(std::uint32_t totale, std::uint16_t dimensione, std::int64_t ms, const Traccia& traccia,
             std::vector<Emissione68331>& out);
  void Dati(std::uint16_t codice, std::uint32_t indice, const std::uint8_t* d, std::size_t n, std::int64_t ms,
            const Traccia& traccia, std::vector<Emissione68331>& out);
  // Asks for the packet the board wants next (faults applied).
  void Chiedi(std::uint32_t indice, bool nuovo, std::int64_t ms, const Traccia& traccia,
              std::vector<Emissione68331>& out);
  void Richiesta(std::uint32_t indice, Irregolare irr, int difetto, const std::string& nota, int copie,
                 std::int64_t ms, const Traccia& traccia, std::vector<Emissione68331>& out);
  void Avanza(std::uint32_t indice, std::int64_t ms, const Traccia& traccia, std::vector<Emissione68331>& out);
  // Asks again for the packet under way, or gives up when the attempts are spent.
  void Sollecita(const std::string& motivo, std::int64_t ms, const Traccia& traccia,
                 std::vector<Emissione68331>& out);
  void Fine(const Traccia& traccia, std::vector<Emissione68331>& out);
  void Termina(const char* esito);
  Guasto68331* GuastoPer(TipoGuasto68331 t, std::int64_t indice);
  // The fault aimed at this request of the PC, if one fires on it.
  Guasto68331* GuastoRichiesta(const std::string& richiesta, const Traccia& traccia);
  // Spoils an answer's packet as the fault under way says.
  void Guasta(std::vector<std::uint8_t>& pacchetto, const Traccia& traccia);
  std::uint32_t UltimoPacchetto() const;  // index of the last data packet
  std::uint32_t AttesiIn(std::uint32_t indice) const;

  Stato stato_ = Stato::Attesa;
  std::uint32_t atteso_ = 0;           // index the board wants
  std::uint32_t richiesto_ = 0;        // index carried by the request under way
  Irregolare irregolare_ = Irregolare::No;
  std::string perche_;                 // why, for the anomaly text
  bool ripetendo_ = false;             // the packet under way was asked again on purpose
  int tentativiRimasti_ = 0;
  int oltreFineRimasti_ = 0;
  std::int64_t scadenza_ = -1;
  std::map<std::uint32_t, int> chiesti_;   // proper requests per index, this transfer
  std::map<std::uint32_t, int> ricevuti_;  // data packets per index, this transfer
  std::vector<std::uint8_t> copiaUltimo_;  // the last packet accepted (to compare its repetitions)
  std::uint32_t indiceUltimo_ = 0;
  std::vector<std::string> anomalie_;
  std::vector<Trasferimento68331> trasferimenti_;
  CRicevitoreTrame68331 ricevitore_;
  std::int64_t ultimoByteMs_ = 0;
  Guasto68331* rispostaGuasta_ = nullptr;  // the answers to the request under way are spoiled
  bool chiudi_ = false;
};

}  // namespace bricola::sim
