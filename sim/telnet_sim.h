// The server side of Telnet with the COM-PORT option (RFC 854, 855, 856, 858,
// 2217) in front of the simulated machine. No sockets: bytes from the client
// go in, Telnet answers and line data come out.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/macchina_sim.h"

namespace bricola::sim {

class CTelnetSim {
 public:
  explicit CTelnetSim(CMacchinaSim& macchina);

  // What the server sends as soon as a client connects: its offers.
  std::vector<std::uint8_t> Apertura();

  // Bytes from the client. Telnet answers are appended to `risposte` (ready to
  // send, already escaped); what the boards send back is appended to `dati`
  // (raw line bytes, to escape with Escapa when they are sent).
  void DalClient(const std::uint8_t* b, std::size_t n, std::int64_t ms, std::vector<std::uint8_t>& risposte,
                 std::vector<Uscita>& dati);

  // Doubles every IAC of line data.
  static void Escapa(const std::uint8_t* b, std::size_t n, std::vector<std::uint8_t>& uscita);

  // Called for PURGE-DATA with 1 (receive buffer: data toward the client), 2 or 3.
  std::function<void(std::uint8_t)> alSvuota;

  bool Sospeso() const { return sospeso_; }
  std::uint64_t ByteDati() const { return byteDati_; }  // line-data bytes passed to the machine so far  // FLOWCONTROL-SUSPEND in force
  bool ComPortAttivo() const { return remoto_[OPZ_COM] || locale_[OPZ_COM]; }
  bool BinarioDalClient() const { return remoto_[OPZ_BIN]; }

  static constexpr const char* FIRMA = "bricola-sim";

 private:
  enum Opzione { OPZ_BIN, OPZ_SGA, OPZ_COM, OPZ_NESSUNA };
  static Opzione Indice(std::uint8_t opzione);
  void Negoziazione(std::uint8_t verbo, std::uint8_t opzione, std::vector<std::uint8_t>& risposte);
  void Sottonegoziazione(std::int64_t ms, std::vector<std::uint8_t>& risposte);
  void Rispondi(std::uint8_t comando, const std::vector<std::uint8_t>& valore, std::vector<std::uint8_t>& risposte);
  void PassaDati(std::int64_t ms, std::vector<Uscita>& dati);

  CMacchinaSim& macchina_;
  enum class Stato { Dati, Iac, Verbo, Sb, SbIac } stato_ = Stato::Dati;
  std::uint8_t verbo_ = 0;
  std::vector<std::uint8_t> sb_;
  std::vector<std::uint8_t> daPassare_;
  bool crPrecedente_ = false;
  // Options enabled on our side (WILL) and on the client's side (DO), and
  // those we asked for and still wait an answer about.
  bool locale_[3] = {false, false, false};
  bool remoto_[3] = {false, false, false};
  bool localeChiesto_[3] = {false, false, false};
  bool remotoChiesto_[3] = {false, false, false};
  bool sospeso_ = false;
  std::uint64_t byteDati_ = 0;
  bool breakAttivo_ = false;
  std::uint8_t flusso_ = 1;
  std::uint8_t mascheraLinea_ = 0;
  std::uint8_t mascheraModem_ = 0xFF;
};

}  // namespace bricola::sim
