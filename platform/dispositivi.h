// The Memox key and the parallel-port driver device, as the layers above see them.
//
// Two kinds of device, each opened by the functions below and closed by
// destroying the object:
//
// - DispositivoDriver: the driver device of the key and PIC interface on a
//   parallel port. One request at a time: a u32 control code, the input bytes
//   and the room for the output go in; the device's result and its output
//   bytes come back. Each open is a connection of its own, so the same device
//   may be open twice at once (the key and the PIC interface share it).
//     ApriDriver(indice)   device index = LPT number - 1 ([Ports] LPT<n>=)
//     ApriDriverPic(k)     PIC interface k: [Ports] PIC<k>=, else LPT<k+1>=
// - DispositivoHid: the key on USB, spoken to with 33-byte feature reports
//   (report ID 0, then 32 data bytes).
//     ApriChiaveUsb()      [Ports] USB=hid (default: the first HID device with
//                          vendor 0x073D, product 0x085D, through hidapi) or
//                          USB=unix:<path>
//
// Where the devices are is set once at start-up (ImpostaPuntiDispositivi);
// endpoints are written "unix:<path>" (a Unix-domain stream socket where an
// emulated device, or a bridge to the hardware, answers). Exchanges on a
// socket, all integers little-endian:
//   driver request  u32 code, u32 input length, input bytes, u32 output capacity
//   driver answer   u32 result (1 success, 0 failure), u32 output length, output bytes
//   USB request     1 byte 'S' (set feature) or 'G' (get feature), 33 report bytes
//   USB answer      1 byte (1 success, 0 failure), then for 'G' the 33 report bytes
// A device that does not answer within kAttesaRispostaDispositivoMs, closes
// the socket or answers out of shape fails that request and every later one
// on the same open.
//
// Tests stand fakes in for the devices with the Imposta*Apritore* hooks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace bricola {

inline constexpr int kAttesaRispostaDispositivoMs = 5000;

class DispositivoDriver {
 public:
  virtual ~DispositivoDriver() = default;
  // One request. True only when the exchange went through and the device's
  // result is success; `uscita` holds the output bytes the device returned
  // (also on a failed result; empty when the exchange broke). An output longer
  // than `capacita` is a failure.
  virtual bool Richiesta(std::uint32_t codice, std::span<const std::uint8_t> ingresso, std::uint32_t capacita,
                         std::vector<std::uint8_t>& uscita) = 0;
};

inline constexpr std::size_t kLunghezzaReport = 33;  // report ID, then 32 data bytes
inline constexpr std::uint16_t kVendorMemox = 0x073D;
inline constexpr std::uint16_t kProductMemox = 0x085D;

class DispositivoHid {
 public:
  virtual ~DispositivoHid() = default;
  // Sends one feature report of kLunghezzaReport bytes.
  virtual bool ImpostaFeature(const std::uint8_t* report) = 0;
  // Reads one feature report: report[0] holds the report ID on entry; on
  // success the kLunghezzaReport bytes are in `report`.
  virtual bool LeggiFeature(std::uint8_t* report) = 0;
};

// Where the devices are. Keys are the numbers of the settings file: LPT n, PIC k.
struct PuntiDispositivi {
  std::string usb = "hid";             // "hid" or "unix:<path>"
  std::map<int, std::string> lpt;      // LPT n -> "unix:<path>"
  std::map<int, std::string> pic;      // PIC interface k -> "unix:<path>"
};

void ImpostaPuntiDispositivi(PuntiDispositivi punti);
PuntiDispositivi PuntiDispositiviAttuali();

// Null when the device cannot be opened (no endpoint, nothing answering, no key).
std::unique_ptr<DispositivoDriver> ApriDriver(int indice);
std::unique_ptr<DispositivoDriver> ApriDriverPic(int k);
std::unique_ptr<DispositivoHid> ApriChiaveUsb();

// An endpoint opened directly ("unix:<path>"); null when it cannot be.
std::unique_ptr<DispositivoDriver> ApriDriverPunto(const std::string& punto);
std::unique_ptr<DispositivoHid> ApriChiaveUsbPunto(const std::string& punto);
// The real key through hidapi (null when there is none or hidapi is missing).
std::unique_ptr<DispositivoHid> ApriChiaveHid();

// Test hooks: a set opener replaces what the function of the same name does;
// an empty one restores it. ApriDriverPic without a PIC<k> endpoint and
// without its own hook goes through ApriDriver(k), hook included.
void ImpostaApritoreDriver(std::function<std::unique_ptr<DispositivoDriver>(int indice)> apritore);
void ImpostaApritoreDriverPic(std::function<std::unique_ptr<DispositivoDriver>(int k)> apritore);
void ImpostaApritoreChiaveUsb(std::function<std::unique_ptr<DispositivoHid>()> apritore);

}  // namespace bricola
