// Scripted stand-ins for the key's devices: a HID key and a driver device that
// record every report or request they get and answer from a script.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/dispositivi.h"

namespace bricola::prova {

using Byte = std::vector<std::uint8_t>;

inline void MettiBe32(Byte& b, std::size_t i, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (24 - 8 * k));
}
inline void MettiLe32(Byte& b, std::size_t i, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) b[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(v >> (8 * k));
}

// What the test sees of a scripted HID key; shared with the device object so
// that it outlives a close.
struct StatoHid {
  // One get-feature: fails, or answers these 32 data bytes.
  struct Lettura {
    bool riesce = true;
    Byte dati;
  };
  std::deque<Lettura> letture;
  // Set-feature calls from this one on fail (-1: none fails).
  int impostaFallisceDa = -1;

  std::vector<Byte> impostati;  // the 32 data bytes of every set-feature, in order
  int lettureFatte = 0;
  std::vector<int> idReport;    // report ID of every report, set and get
  int aperture = 0;
  int chiusure = 0;
  // Set-feature and get-feature calls in the order they came: 'S' / 'G'.
  std::string ordine;

  // Queues a reply of any multiple of 32 bytes as that many reads.
  void Risposta(const Byte& r) {
    for (std::size_t i = 0; i < r.size(); i += 32) letture.push_back({true, Byte(r.begin() + static_cast<long>(i), r.begin() + static_cast<long>(i + 32))});
  }
  void Fallita() { letture.push_back({false, {}}); }
  // The data of every set-feature since the last call, joined.
  Byte Richieste() const {
    Byte b;
    for (const auto& p : impostati) b.insert(b.end(), p.begin(), p.end());
    return b;
  }
};

class HidFinto final : public DispositivoHid {
 public:
  explicit HidFinto(std::shared_ptr<StatoHid> s) : s_(std::move(s)) { ++s_->aperture; }
  ~HidFinto() override { ++s_->chiusure; }

  bool ImpostaFeature(const std::uint8_t* report) override {
    s_->ordine += 'S';
    s_->idReport.push_back(report[0]);
    const int n = static_cast<int>(s_->impostati.size());
    if (s_->impostaFallisceDa >= 0 && n >= s_->impostaFallisceDa) return false;
    s_->impostati.emplace_back(report + 1, report + kLunghezzaReport);
    return true;
  }
  bool LeggiFeature(std::uint8_t* report) override {
    s_->ordine += 'G';
    s_->idReport.push_back(report[0]);
    ++s_->lettureFatte;
    if (s_->letture.empty()) return false;
    const auto l = s_->letture.front();
    s_->letture.pop_front();
    if (!l.riesce) return false;
    report[0] = 0;
    std::memcpy(report + 1, l.dati.data(), 32);
    return true;
  }

 private:
  std::shared_ptr<StatoHid> s_;
};

// What the test sees of a scripted driver device.
struct StatoDriver {
  struct Richiesta {
    std::uint32_t codice;
    Byte ingresso;
    std::uint32_t capacita;
  };
  struct Risposta {
    bool riesce = true;
    Byte uscita;
  };
  std::deque<Risposta> risposte;
  std::vector<Richiesta> richieste;
  std::vector<int> indiciAperti;
  int chiusure = 0;
};

class DriverFinto final : public DispositivoDriver {
 public:
  explicit DriverFinto(std::shared_ptr<StatoDriver> s) : s_(std::move(s)) {}
  ~DriverFinto() override { ++s_->chiusure; }

  bool Richiesta(std::uint32_t codice, std::span<const std::uint8_t> ingresso, std::uint32_t capacita,
                 Byte& uscita) override {
    s_->richieste.push_back({codice, Byte(ingresso.begin(), ingresso.end()), capacita});
    uscita.clear();
    if (s_->risposte.empty()) return false;
    const auto r = s_->risposte.front();
    s_->risposte.pop_front();
    uscita = r.uscita;
    return r.riesce && uscita.size() <= capacita;
  }

 private:
  std::shared_ptr<StatoDriver> s_;
};

}  // namespace bricola::prova
