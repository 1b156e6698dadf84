// The key and the parallel-port driver device of the simulated machine,
// served on Unix-domain sockets beside (or without) the serial line.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/chiave_sim.h"
#include "sim/driver_sim.h"
#include "sim/macchina_sim.h"
#include "sim/pic_sim.h"

namespace bricola::sim {

struct OpzioniDispositivi {
  ConfigChiave chiave;
  ConfigDriver driver;
  bool conPic = false;  // a PIC board behind the driver device
  ConfigPic pic;
  std::string usb;      // socket paths; empty: not served
  std::string lpt;
  std::string picPercorso;
  bool Servono() const { return !usb.empty() || !lpt.empty() || !picPercorso.empty(); }
};

// Reads the "chiave", "driver" and "pic" sections of a JSON text (comments
// allowed) over the options already there. Relative key file paths are taken
// from `cartella`.
bool LeggiDispositivi(const std::string& testo, const std::string& cartella, OpzioniDispositivi& o,
                      std::string& errore);
bool LeggiFileDispositivi(const std::string& percorso, OpzioniDispositivi& o, std::string& errore);

class CDispositiviSim {
 public:
  CDispositiviSim() = default;
  ~CDispositiviSim() { Ferma(); }
  CDispositiviSim(const CDispositiviSim&) = delete;
  CDispositiviSim& operator=(const CDispositiviSim&) = delete;

  // Opens the key file and binds the sockets; the devices answer once Avvia ran.
  bool Prepara(const OpzioniDispositivi& o, CTrascrizione* trascrizione, std::string& errore);
  // Serves on a thread of its own until Ferma.
  void Avvia();
  void Ferma();

  // The devices' state and every request they received, in order.
  nlohmann::json Stato() const;

  // Direct access for the tests of the devices.
  CChiaveSim& Chiave() { return chiave_; }

 private:
  enum class Tipo { Usb, Driver };
  struct Connessione {
    int fd = -1;
    Tipo tipo = Tipo::Usb;
    std::string nome;  // "usb", "lpt" or "pic", then "#" and the connection number
    std::vector<std::uint8_t> arrivo;
    SessioneUsb usb;
    SessioneDriver driver;
  };
  struct Ascolto {
    int fd = -1;
    Tipo tipo;
    std::string nome;
    std::string percorso;
  };

  bool Ascolta(const std::string& percorso, Tipo tipo, const std::string& nome, std::string& errore);
  void Ciclo();
  // Handles the complete requests that arrived; false closes the connection.
  bool Elabora(Connessione& c);
  void Registra(const Connessione& c, nlohmann::json voce, const std::string& grezzo);

  CChiaveSim chiave_;
  std::unique_ptr<CPicSim> pic_;
  std::vector<GuastoRichiestaPic> guastiPic_;  // the PIC board's faults by request, as they are spent
  std::unique_ptr<CUsbSim> usbSim_;
  std::unique_ptr<CDriverSim> driverSim_;
  CTrascrizione* trascrizione_ = nullptr;
  std::vector<Ascolto> ascolti_;
  std::vector<Connessione> connessioni_;
  nlohmann::json richieste_ = nlohmann::json::array();
  int numeroConnessioni_ = 0;
  mutable std::mutex mutex_;
  std::thread filo_;
  std::atomic<bool> ferma_{false};
};

}  // namespace bricola::sim
