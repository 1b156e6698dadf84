// A virtual Memox key created with the kernel's uhid (vendor 0x073D, product
// 0x085D, one 32-byte feature report without a report ID), driven through the
// real hidapi path of CMemoxUsb: hidraw, feature reports, the key found by its
// identity. The key's side is written here from the key's point of view. Where
// the machine has no writable /dev/uhid the test is skipped and says why.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "key/memox_usb.h"
#include "platform/dispositivi.h"

namespace bricola {
namespace {

using Byte = std::vector<std::uint8_t>;

// Vendor page, one feature report of 32 bytes.
constexpr std::uint8_t kDescrittore[] = {
    0x06, 0x00, 0xFF,  // Usage Page (vendor 0xFF00)
    0x09, 0x01,        // Usage 1
    0xA1, 0x01,        // Collection (Application)
    0x15, 0x00,        //   Logical Minimum 0
    0x26, 0xFF, 0x00,  //   Logical Maximum 255
    0x75, 0x08,        //   Report Size 8
    0x95, 0x20,        //   Report Count 32
    0x09, 0x01,        //   Usage 1
    0xB1, 0x02,        //   Feature (Data, Var, Abs)
    0xC0,              // End Collection
};

std::uint32_t Be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}
void MettiBe32(std::uint8_t* p, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}

// The key's side: a 264 x 4096 flash behind the feature reports. The first
// reply it is asked for is announced as not ready once.
class ChiaveUhid {
 public:
  static constexpr std::uint32_t kPagina = 264;
  static constexpr std::uint32_t kPagine = 4096;

  bool Crea(std::string* errore) {
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
      *errore = std::string("/dev/uhid: ") + std::strerror(errno);
      return false;
    }
    uhid_event e{};
    e.type = UHID_CREATE2;
    std::snprintf(reinterpret_cast<char*>(e.u.create2.name), sizeof e.u.create2.name, "Bricola test Memox");
    e.u.create2.rd_size = sizeof kDescrittore;
    e.u.create2.bus = 0x03;  // BUS_USB
    e.u.create2.vendor = kVendorMemox;
    e.u.create2.product = kProductMemox;
    e.u.create2.version = 1;
    std::memcpy(e.u.create2.rd_data, kDescrittore, sizeof kDescrittore);
    if (::write(fd_, &e, sizeof e) != static_cast<ssize_t>(sizeof e)) {
      *errore = std::string("UHID_CREATE2: ") + std::strerror(errno);
      return false;
    }
    memoria_.assign(std::size_t{kPagina} * kPagine, 0xFF);
    filo_ = std::thread([this] { Ciclo(); });
    return true;
  }
  ~ChiaveUhid() {
    fine_ = true;
    if (filo_.joinable()) filo_.join();
    if (fd_ >= 0) {
      uhid_event e{};
      e.type = UHID_DESTROY;
      (void)::write(fd_, &e, sizeof e);
      ::close(fd_);
    }
  }

  Byte Pagina(std::uint32_t p) {
    std::lock_guard<std::mutex> l(mutex_);
    return Byte(memoria_.begin() + p * kPagina, memoria_.begin() + (p + 1) * kPagina);
  }
  std::vector<std::uint32_t> Comandi() {
    std::lock_guard<std::mutex> l(mutex_);
    return comandi_;
  }
  int NonPronti() const { return nonPronti_; }

 private:
  void Ciclo() {
    while (!fine_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      uhid_event e{};
      if (::read(fd_, &e, sizeof e) <= 0) continue;
      uhid_event r{};
      if (e.type == UHID_SET_REPORT) {
        r.type = UHID_SET_REPORT_REPLY;
        r.u.set_report_reply.id = e.u.set_report.id;
        // The data begin with the report number (0: the key numbers none).
        const bool buono = e.u.set_report.rtype == UHID_FEATURE_REPORT && e.u.set_report.size == 33;
        if (buono) Imposta(e.u.set_report.data + 1);
        r.u.set_report_reply.err = buono ? 0 : 5;
      } else if (e.type == UHID_GET_REPORT) {
        r.type = UHID_GET_REPORT_REPLY;
        r.u.get_report_reply.id = e.u.get_report.id;
        r.u.get_report_reply.err = 0;
        r.u.get_report_reply.size = 33;
        r.u.get_report_reply.data[0] = 0;
        Ottieni(r.u.get_report_reply.data + 1);
      } else {
        continue;
      }
      (void)::write(fd_, &r, sizeof r);
    }
  }

  void Imposta(const std::uint8_t* d) {
    std::lock_guard<std::mutex> l(mutex_);
    richiesta_.insert(richiesta_.end(), d, d + 32);
    const std::uint32_t comando = Be32(richiesta_.data());
    const std::size_t lunga = comando == 0x20 ? (kPagina + 8) / 32 * 32 + 32 : 32;
    if (richiesta_.size() < lunga) return;
    comandi_.push_back(comando);
    Byte risposta(32, 0);
    std::uint32_t stato = 0;
    const std::uint32_t pagina = Be32(&richiesta_[4]);
    switch (comando) {
      case 0x03:
        MettiBe32(&risposta[8], kPagina);
        MettiBe32(&risposta[12], kPagine);
        break;
      case 0x04:
        stato = Be32(&richiesta_[4]) == 2 ? 0 : 7;
        break;
      case 0x10:
        if (pagina < kPagine) std::fill_n(memoria_.begin() + pagina * kPagina, kPagina, 0xFF);
        else stato = 2;
        break;
      case 0x20:
        if (pagina < kPagine) std::copy_n(richiesta_.begin() + 8, kPagina, memoria_.begin() + pagina * kPagina);
        else stato = 2;
        break;
      case 0x30:
        risposta.assign((kPagina + 4 + 31) / 32 * 32, 0);
        if (pagina < kPagine) std::copy_n(memoria_.begin() + pagina * kPagina, kPagina, risposta.begin() + 4);
        else stato = 2;
        break;
      default:
        stato = 1;
        break;
    }
    MettiBe32(risposta.data(), stato);
    richiesta_.clear();
    risposta_.assign(risposta.begin(), risposta.end());
    nuova_ = true;
  }

  void Ottieni(std::uint8_t* d) {
    std::lock_guard<std::mutex> l(mutex_);
    if (risposta_.empty() || (nuova_ && nonPronti_ == 0)) {
      if (nuova_) ++nonPronti_;
      nuova_ = false;
      std::memcpy(d, kMemoxNonPronto, 32);
      return;
    }
    nuova_ = false;
    for (int i = 0; i < 32; ++i) {
      d[i] = risposta_.front();
      risposta_.pop_front();
    }
  }

  int fd_ = -1;
  std::thread filo_;
  std::atomic<bool> fine_{false};
  std::mutex mutex_;
  Byte memoria_;
  Byte richiesta_;
  std::deque<std::uint8_t> risposta_;
  bool nuova_ = false;
  std::atomic<int> nonPronti_{0};
  std::vector<std::uint32_t> comandi_;
};

TEST(MemoxUhid, VirtualKeyThroughHidapi) {
#if !defined(BRICOLA_CON_HIDAPI)
  GTEST_SKIP() << "this build has no hidapi: the key on USB is reached only through USB=unix:";
#else
  if (::access("/dev/uhid", F_OK) != 0) GTEST_SKIP() << "this machine has no /dev/uhid: no virtual HID key can be made";
  if (::access("/dev/uhid", W_OK) != 0) GTEST_SKIP() << "/dev/uhid is not writable here: no virtual HID key can be made";
  ChiaveUhid chiave;
  std::string errore;
  ASSERT_TRUE(chiave.Crea(&errore)) << errore;
  ImpostaPuntiDispositivi({});  // USB=hid
  // The hidraw node comes up shortly after the device is created.
  CMemoxUsb k;
  int aperta = 0;
  for (int i = 0; i < 100 && !aperta; ++i) {
    aperta = k.Apri(0);
    if (!aperta) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ASSERT_EQ(aperta, 1) << "the virtual key did not show up through hidapi";
  int kind = -1;
  ASSERT_EQ(k.RiconosciChiave(&kind), 1);
  EXPECT_EQ(kind, kChiave264x4096);
  Byte p(264);
  for (std::size_t i = 0; i < p.size(); ++i) p[i] = static_cast<std::uint8_t>(i * 3 + 1);
  ASSERT_EQ(k.ScriviPagina(4095, 0, p.data(), 264), 1);
  EXPECT_EQ(chiave.Pagina(4095), p);
  Byte letto(264);
  ASSERT_EQ(k.LeggiPagina(4095, 0, letto.data(), 264), 1);
  EXPECT_EQ(letto, p);
  ASSERT_EQ(k.CancellaPagina(4095), 1);
  EXPECT_EQ(chiave.Pagina(4095), Byte(264, 0xFF));
  EXPECT_EQ(k.Chiudi(), 1);
  // The not-ready reply of the mode select made that exchange go twice.
  EXPECT_EQ(chiave.NonPronti(), 1);
  EXPECT_EQ(chiave.Comandi(), (std::vector<std::uint32_t>{0x04, 0x04, 0x03, 0x20, 0x30, 0x10}));
  ImpostaPuntiDispositivi({});
#endif
}

}  // namespace
}  // namespace bricola
