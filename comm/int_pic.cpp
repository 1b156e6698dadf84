#include "comm/int_pic.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

#include "base/esiti.h"
#include "image/file.h"
#include "platform/dispositivi.h"

namespace bricola {

namespace {

constexpr std::uint32_t kUscitaStato = 4;
constexpr std::uint32_t kUscitaLettura = kMaxLetturaPic + 4;
constexpr std::size_t kIngressoScrittura = 7 + 512;

// The layer's one handle for the whole process.
struct StatoPic {
  std::mutex mutex;
  std::unique_ptr<DispositivoDriver> dispositivo;
};

StatoPic& Stato() {
  static StatoPic stato;
  return stato;
}

// One request: it must succeed, return exactly `lunghezza` bytes, and carry
// a status of 0 at `posizioneStato`.
bool Richiesta(DispositivoDriver& d, std::uint32_t codice, const std::vector<std::uint8_t>& ingresso,
               std::uint32_t lunghezza, std::uint32_t posizioneStato, std::vector<std::uint8_t>& uscita) {
  if (!d.Richiesta(codice, ingresso, lunghezza, uscita)) return false;
  if (uscita.size() != lunghezza) return false;
  return LeggiU32(uscita.data() + posizioneStato) == 0;
}

bool Modo(DispositivoDriver& d, std::uint16_t modo) {
  std::vector<std::uint8_t> in(2), out;
  ScriviU16(in.data(), modo);
  return Richiesta(d, kCodicePicModo, in, kUscitaStato, 0, out);
}

}  // namespace

int ApriPic(int porta) {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  // A handle kept by a close that failed is given up before the new one.
  s.dispositivo.reset();
  std::unique_ptr<DispositivoDriver> d = ApriDriverPic(porta);
  if (!d) return 0;
  // A refused mode on closes the device again, without a mode off.
  if (!Modo(*d, 1)) return 0;
  s.dispositivo = std::move(d);
  return 1;
}

int ChiudiPic() {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  if (!s.dispositivo) return 0;
  const bool spento = Modo(*s.dispositivo, 0);
  // The device is closed whatever the mode off answered: a handle that stayed
  // open would only keep the interface busy.
  s.dispositivo.reset();
  return spento ? 1 : 0;
}

bool PicAperto() {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  return s.dispositivo != nullptr;
}

int ComandoPic(std::uint32_t valore) {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  if (!s.dispositivo) return 0;
  std::vector<std::uint8_t> in(5), out;
  ScriviU32(in.data(), valore);
  in[4] = 1;
  return Richiesta(*s.dispositivo, kCodicePicComando, in, kUscitaStato, 0, out) ? 1 : 0;
}

int LeggiPic(std::uint32_t indirizzo, std::uint8_t* buffer, int lunghezza) {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  if (!s.dispositivo) return 0;
  if (lunghezza < 0 || lunghezza > kMaxLetturaPic) return 0;
  std::vector<std::uint8_t> in(6), out;
  ScriviU32(in.data(), indirizzo);
  ScriviU16(in.data() + 4, static_cast<std::uint16_t>(lunghezza));
  if (!Richiesta(*s.dispositivo, kCodicePicLeggi, in, kUscitaLettura, kMaxLetturaPic, out)) return 0;
  std::copy(out.begin(), out.begin() + lunghezza, buffer);
  return 1;
}

int ScriviPic(std::uint32_t indirizzo, const std::uint8_t* dati, int lunghezza) {
  StatoPic& s = Stato();
  std::lock_guard<std::mutex> blocco(s.mutex);
  if (!s.dispositivo) return 0;
  if (lunghezza < 0 || lunghezza > kMaxScritturaPic) return 0;
  std::vector<std::uint8_t> in(kIngressoScrittura, 0), out;
  in[0] = 1;
  ScriviU32(in.data() + 1, indirizzo);
  ScriviU16(in.data() + 5, static_cast<std::uint16_t>(lunghezza));
  std::copy(dati, dati + lunghezza, in.begin() + 7);
  return Richiesta(*s.dispositivo, kCodicePicScrivi, in, kUscitaStato, 0, out) ? 1 : 0;
}

// --- CIntPic -----------------------------------------------------------------------

int CIntPic::ApriLinea(int porta, int, int, int* esito) {
  numeroPorta = porta;
  if (!ApriPic(porta)) {
    *esito = RC_PORT_OPEN;
    return 0;
  }
  return 1;
}

int CIntPic::RiapriLinea(int* esito) { return ApriLinea(numeroPorta, 0, 0, esito); }

int CIntPic::ChiudiLinea() { return ChiudiPic(); }

}  // namespace bricola
