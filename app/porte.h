// Which COM and LPT ports the machine has, and the port code of the next job.
//
// COM numbers (1 to 99) come from two places:
// - the [Ports] section of the settings file: COM<n>=<device path> or
//   COM<n>=rfc2217://<host>:<port> (a network serial port), and LPT<n>=<endpoint>
//   for the key and PIC interface on the parallel port (the port exists when
//   its entry is set; its driver device, index n - 1, is "unix:<path>");
// - the serial devices libserialport finds, numbered by a fixed rule so that a
//   device keeps its number from run to run (NumeroComDispositivo):
//     /dev/ttyS<k>   (k 0..9)  -> COM(k + 1)    COM1..COM10
//     /dev/ttyUSB<k> (k 0..19) -> COM(k + 11)   COM11..COM30
//     /dev/ttyACM<k> (k 0..19) -> COM(k + 31)   COM31..COM50
//     any other device         -> the free numbers from COM51 up, in name order.
// An explicit entry wins: a found device whose number an entry already uses is
// left out, and a found device that an entry already names keeps only that entry.
//
// The same section says where the key and the PIC interface are (handed to
// platform/dispositivi.h when the ports are enumerated):
//   USB=hid (default: the real key through hidapi) or USB=unix:<path>
//   PIC<k>=unix:<path>  driver device of PIC interface k (port code 61 + k);
//                       without it, the one of LPT<k+1>.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "base/registro.h"

namespace bricola {

struct MappaPorte {
  std::map<int, std::string> com;  // COM number -> device path or rfc2217:// URL
  std::map<int, std::string> lpt;  // LPT number -> driver device endpoint
  std::string usb = "hid";         // the key on USB: "hid" or "unix:<path>"
  std::map<int, std::string> pic;  // PIC interface k -> driver device endpoint
};

// The COM number the fixed rule gives a found device; 0 for "from COM51 up".
int NumeroComDispositivo(std::string_view percorso);

// The map from the explicit entries and the found devices (rule above).
MappaPorte ComponiMappaPorte(const MappaPorte& esplicite, const std::vector<std::string>& trovati);

// The COM<n>=, LPT<n>=, USB= and PIC<k>= entries of [Ports] in the settings file
// at `percorsoIni` (n from 1 to 99, k from 0 to 99, names case-insensitive, empty
// values ignored).
MappaPorte LeggiPorteImpostate(const std::string& percorsoIni);

// Explicit entries of the settings file plus the devices found now.
MappaPorte MappaPorteAttuale();

class CMainProc : public CFileRegistro {
 public:
  static constexpr int kMaxCom = 50;
  static constexpr int kMaxLpt = 10;
  static constexpr int kCodiceLpt = 50;
  static constexpr int kCodiceUsb = 60;
  static constexpr int kCodicePic = 61;

  // Interface types given to the jobs.
  static constexpr int kTipoSeriale = 1;
  static constexpr int kTipoParallela = 2;
  static constexpr int kTipoUsb = 3;
  static constexpr int kTipoPic = 4;

  CMainProc() = default;

  // Fills both lists (ascending, at most 50 COM and 10 LPT ports) and makes the
  // COM numbers openable: ApriPorta(n) opens what the map gives for COMn; the
  // key and driver endpoints go to the device layer.
  void EnumeraPorte();
  // Enumerates again; true when the number of COM or of LPT ports changed.
  bool AggiornaPorte();
  // From the -C text when it is a decimal number, else from the stored code.
  void ScegliPorta(std::string_view portaTesto, int codiceSalvato);
  int TipoInterfaccia() const;
  // 0-based port number for the jobs; -1 when a serial or parallel code names no
  // port of the lists (an empty list): opening it then fails with RC_PORT_OPEN.
  int NumeroPorta() const;
  void ImpostaSeriale(int posizione) { codicePorta = posizione; }
  void ImpostaParallela(int posizione) { codicePorta = kCodiceLpt + posizione; }
  void ImpostaUsb() { codicePorta = kCodiceUsb; }
  void LimitaSeriale();

  bool Seriale() const { return codicePorta < kCodiceLpt; }
  bool Parallela() const { return codicePorta >= kCodiceLpt && codicePorta < kCodiceUsb; }
  bool Usb() const { return codicePorta == kCodiceUsb; }
  bool Chiave() const { return Parallela() || Usb(); }
  bool Pic() const { return codicePorta >= kCodicePic; }

  // What is behind COMn / LPTn ("" when nothing).
  std::string DestinazioneCom(int numero) const;
  std::string DestinazioneLpt(int numero) const;

  // Logs both lists with the device or URL behind each number.
  void RegistraPorte() const;

  // Where the ports come from; tests give their own map.
  std::function<MappaPorte()> sorgentePorte;

  int porteCom[kMaxCom] = {};
  int numeroCom = 0;
  int porteLpt[kMaxLpt] = {};
  int numeroLpt = 0;
  // percorsoRegistro: inherited from CFileRegistro (empty = no log)
  int codicePorta = 0;

 private:
  MappaPorte mappa;
};

// With a log (-L): enumerates the ports and logs both lists with what is behind
// each number. Nothing without a log.
void RegistraPorteAvvio(const std::string& percorsoRegistro);

}  // namespace bricola
