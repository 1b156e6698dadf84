// The key on USB through hidapi (hidraw back-end).
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/dispositivi.h"

#if defined(BRICOLA_CON_HIDAPI)
#include <hidapi.h>
#endif

namespace bricola {

#if defined(BRICOLA_CON_HIDAPI)
namespace {

class ChiaveHid final : public DispositivoHid {
 public:
  explicit ChiaveHid(hid_device* d) : d_(d) {}
  ~ChiaveHid() override { hid_close(d_); }
  ChiaveHid(const ChiaveHid&) = delete;
  ChiaveHid& operator=(const ChiaveHid&) = delete;

  bool ImpostaFeature(const std::uint8_t* report) override {
    return hid_send_feature_report(d_, report, kLunghezzaReport) >= 0;
  }

  bool LeggiFeature(std::uint8_t* report) override {
    std::uint8_t r[kLunghezzaReport] = {};
    r[0] = report[0];
    const int n = hid_get_feature_report(d_, r, sizeof r);
    // The count includes the report ID; a shorter report is not the key's.
    if (n != static_cast<int>(kLunghezzaReport)) return false;
    std::memcpy(report, r, kLunghezzaReport);
    return true;
  }

 private:
  hid_device* d_;
};

bool Inizializza() {
  static std::once_flag una;
  static bool pronta = false;
  std::call_once(una, [] { pronta = hid_init() == 0; });
  return pronta;
}

}  // namespace

std::unique_ptr<DispositivoHid> ApriChiaveHid() {
  if (!Inizializza()) return nullptr;
  // The first device with the key's identity, in the order the system lists them.
  hid_device_info* elenco = hid_enumerate(kVendorMemox, kProductMemox);
  hid_device* d = nullptr;
  for (hid_device_info* i = elenco; i != nullptr && d == nullptr; i = i->next) {
    if (i->vendor_id != kVendorMemox || i->product_id != kProductMemox || i->path == nullptr) continue;
    d = hid_open_path(i->path);
  }
  hid_free_enumeration(elenco);
  if (d == nullptr) return nullptr;
  return std::make_unique<ChiaveHid>(d);
}

#else

std::unique_ptr<DispositivoHid> ApriChiaveHid() { return nullptr; }

#endif

}  // namespace bricola
