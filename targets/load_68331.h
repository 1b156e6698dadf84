// CLoad68331: modules into boards built around a Motorola 68331. The board
// drives the transfer: the PC announces the module with a start request, the
// board then asks for each 128-byte packet by number (it may ask for the same
// one again) and says when it has them all.
//
// The link has a framing of its own, spoken straight over the port layer (the
// interface's receive thread stays idle): frames between the bytes 47 47, every
// 47 of the payload followed by a stuffing byte B8; the payload of a frame is a
// packet: a big-endian u16 length n, n data bytes, a one-byte checksum (the sum
// modulo 256 of k + byte k over the bytes before it, k from 0).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "comm/interfaccia.h"
#include "load/load.h"

namespace bricola {

// The link layer: frames out, frames in, and the packets they carry.
class CCollegamento68331 {
 public:
  static constexpr std::uint8_t kDelimitatore = 0x47;
  static constexpr std::uint8_t kRiempimento = 0xB8;
  static constexpr int kMaxTrama = 256;       // payload bytes of a frame before stuffing
  static constexpr int kMaxPacchetto = 253;   // data bytes of a packet
  static constexpr int kSlot = 4;             // ring slots
  static constexpr int kMaxInCoda = 3;        // entries a ring keeps
  static constexpr int kLetturaPorta = 514;   // bytes asked of each port read

  // Status of a packet taken from the ring.
  enum : int {
    PACCHETTO_BUONO = 0,
    PACCHETTO_LUNGHEZZA = 2,  // the length field does not match the frame
    PACCHETTO_CHECKSUM = 3,   // the checksum does not match
  };

  static std::uint8_t Checksum(const std::uint8_t* dati, int n);
  // 47 47, the payload stuffed, 47 47. Empty for a payload over 256 bytes.
  static std::vector<std::uint8_t> Trama(const std::uint8_t* payload, int n);
  // Length, data, checksum. Empty for more than 253 data bytes.
  static std::vector<std::uint8_t> Pacchetto(const std::uint8_t* dati, int n);

  void ImpostaPorta(HandleLinea h) { handle = h; }
  // Empties both rings and the frame assembler.
  void AzzeraCollegamento();

  // 1 when the whole stuffed frame was written; n above 256: 0, nothing sent.
  int InviaTrama(const std::uint8_t* payload, int n);
  // InviaTrama of the packet; n above 253: 0.
  int InviaPacchetto(const std::uint8_t* dati, int n);
  // Takes what the port holds, assembles frames and turns them into packets.
  void RiceviTrame();
  // Feeds bytes to the frame assembler (RiceviTrame does it with the port's bytes).
  void Assembla(const std::uint8_t* dati, int n);
  // Turns the kept frames into packets.
  void FrameInPacchetti();
  // The oldest packet: its data (at most capacita bytes) and length, its
  // status (-1 when the ring is empty), and the packet ring's overflow flag,
  // which it clears. A packet that failed its checks comes back with length 0.
  int PrendiPacchetto(std::uint8_t* buffer, int capacita, int* overflow, int* stato);

  int TrameInCoda() const { return numeroTrame; }
  int PacchettiInCoda() const { return numeroPacchetti; }

 private:
  struct SSlotTrama {
    std::uint16_t lunghezza = 0;
    std::array<std::uint8_t, kMaxTrama> dati{};
  };
  struct SSlotPacchetto {
    std::uint16_t stato = 0;
    std::uint16_t lunghezza = 0;
    std::array<std::uint8_t, kMaxTrama> dati{};
  };

  void ChiudiTrama();

  HandleLinea handle = kHandleNonValido;

  int statoTrama = 0;
  SSlotTrama corrente;
  bool troppoLunga = false;  // the frame under way ran past 256 bytes
  std::array<SSlotTrama, kSlot> trame{};
  int primaTrama = 0;
  int numeroTrame = 0;
  int overflowTrame = 0;

  std::array<SSlotPacchetto, kSlot> pacchetti{};
  int primoPacchetto = 0;
  int numeroPacchetti = 0;
  int overflowPacchetti = 0;
};

class CLoad68331 : public CLoad {
 public:
  static constexpr int kPeriodo = 10;
  static constexpr std::uint16_t kDimensionePacchetto = 128;
  // Between two start requests while the board is silent (100 steps of the
  // 10 ms period), counted on the loader clock whatever the step rate.
  static constexpr int kRipetizioneAvvioMs = 1000;
  // Silence of the board after a packet went out before the transfer is given
  // up (the board repeats its own requests about every second).
  static constexpr int kAttesaRichiestaMs = 10000;
  static constexpr int kTesta = 7;  // P, machine code, packet index

  // Messages.
  static constexpr std::uint8_t kMsgAvvio = 0x5A;      // 'Z'
  static constexpr std::uint8_t kMsgDati = 0x50;       // 'P'
  static constexpr std::uint8_t kMsgRichiesta = 0x47;  // 'G'
  static constexpr std::uint8_t kMsgFine = 0x58;       // 'X'

  CLoad68331() = default;

  int PeriodoTimer() override { return kPeriodo; }
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine,
            std::uint16_t codice, const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad,
            int tipoMicro, CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni,
            int* esito) override;
  int Passo(int* aggiorna) override;
  int Termina() override;

  // The start request's message for a module of `totale` bytes.
  static std::vector<std::uint8_t> MessaggioAvvio(std::uint32_t totale, std::uint16_t dimensione);

  // 0 waiting for the board's first request, 1 sending, 2 ended.
  int stato = 2;
  HandleLinea handlePorta = kHandleNonValido;
  int indicePacchetto = 0;
  std::uint16_t lunghezzaPacchetto = 0;
  std::int64_t prossimoAvvio = 0;  // loader clock (ms) of the next start request
  std::array<std::uint8_t, kTesta + 256> pacchetto{};
  std::uint16_t codiceMacchina = 0xFFFF;

  CCollegamento68331& Collegamento() { return collegamento; }

 private:
  int PassoPrimaRichiesta();
  int PassoInvio(int* aggiorna);
  // Sends the start request; 0 when it did not go out whole.
  int InviaAvvio();
  // Sends packet n; primo: the answer to the board's first request.
  int InviaPacchettoDati(int n, bool primo);
  int Fallisci(int codice);
  int Finito();

  CCollegamento68331 collegamento;
};

}  // namespace bricola
