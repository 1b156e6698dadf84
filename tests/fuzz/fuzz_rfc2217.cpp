// libFuzzer target: the receiving side of the RFC 2217 client (CFlussoRfc2217).
// Byte 0 picks the kind of input:
//   even: a sequence of whole items the rest describes (data bytes, option
//   negotiation, COM-PORT answers and notifications, other subnegotiations,
//   other commands), each put on the wire as a server would, fed one item at a
//   time;
//   odd: the rest is the server's byte stream as it stands.
// What must hold: the data bytes that come out are the data bytes put in
// (IAC IAC undone), in order, and nothing else; every answer it asks to send
// is IAC WILL/WONT/DO/DONT <option> for an option just received, one at most
// per command, and none for a command that asks for the state already held
// (no negotiation loop); an answer to a COM-PORT request keeps the value sent;
// nothing grows without bound.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "platform/flusso_rfc2217.h"
#include "tests/fuzz/verifica.h"

namespace {

using namespace bricola;
namespace t = rfc2217;

void ControllaUscita(const std::vector<std::uint8_t>& uscita) {
  Verifica(uscita.size() % 3 == 0);
  for (std::size_t i = 0; i < uscita.size(); i += 3) {
    Verifica(uscita[i] == t::IAC);
    Verifica(uscita[i + 1] == t::WILL || uscita[i + 1] == t::WONT || uscita[i + 1] == t::DO ||
             uscita[i + 1] == t::DONT);
  }
}

void Metti(std::vector<std::uint8_t>& filo, std::uint8_t b) {
  filo.push_back(b);
  if (b == t::IAC) filo.push_back(t::IAC);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  if (n < 1) return 0;
  CFlussoRfc2217 flusso;
  if (dati[0] & 2) flusso.ChiediOpzioni();
  std::deque<std::uint8_t> ricevuti;
  std::vector<std::uint8_t> uscita;

  if (dati[0] & 1) {
    for (std::size_t i = 1; i < n; ++i) {
      const std::size_t prima = uscita.size();
      flusso.Analizza(dati[i], ricevuti, uscita);
      // One byte gives at most one answer.
      Verifica(uscita.size() - prima == 0 || uscita.size() - prima == 3);
      Verifica(flusso.LunghezzaSotto() <= CFlussoRfc2217::kMaxSotto);
    }
    ControllaUscita(uscita);
    Verifica(ricevuti.size() < n);
    for (std::uint8_t c = 0; c <= t::PURGE_DATA; ++c) {
      Verifica(flusso.RispostaA(c).valore.size() <= CFlussoRfc2217::kMaxSotto);
    }
    return 0;
  }

  std::size_t p = 1;
  const auto prossimo = [&]() -> std::uint8_t { return p < n ? dati[p++] : 0; };
  std::vector<std::uint8_t> attesi;
  while (p < n) {
    std::vector<std::uint8_t> filo;
    const std::uint8_t tipo = prossimo();
    std::uint8_t comando = 0, opzione = 0, codice = 0xFF;
    std::vector<std::uint8_t> valore;
    switch (tipo % 6) {
      case 0: {
        const std::uint8_t d = prossimo();
        Metti(filo, d);
        attesi.push_back(d);
        break;
      }
      case 1: {
        static constexpr std::uint8_t kComandi[] = {t::WILL, t::WONT, t::DO, t::DONT};
        comando = kComandi[prossimo() % 4];
        opzione = prossimo();
        filo = {t::IAC, comando, opzione};
        break;
      }
      case 2:
      case 5: {
        // A COM-PORT answer (the client's code + 100) or a notification, the
        // value with IAC doubled.
        codice = tipo % 6 == 2 ? static_cast<std::uint8_t>(t::SERVER_OFFSET + prossimo() % (t::PURGE_DATA + 1))
                               : prossimo();
        const std::size_t k = prossimo() % 12;
        filo = {t::IAC, t::SB, t::OPT_COM_PORT};
        Metti(filo, codice);
        for (std::size_t i = 0; i < k; ++i) {
          valore.push_back(prossimo());
          Metti(filo, valore.back());
        }
        filo.insert(filo.end(), {t::IAC, t::SE});
        break;
      }
      case 3: {
        static constexpr std::uint8_t kAltri[] = {t::NOP, t::GA, t::SE, 242, 243, 244, 245, 246, 247, 248};
        filo = {t::IAC, kAltri[prossimo() % 10]};
        break;
      }
      case 4: {
        std::uint8_t altra = prossimo();
        if (altra == t::OPT_COM_PORT) altra = 0;
        filo = {t::IAC, t::SB};
        Metti(filo, altra);
        for (std::size_t i = 0, k = prossimo() % 8; i < k; ++i) Metti(filo, prossimo());
        filo.insert(filo.end(), {t::IAC, t::SE});
        break;
      }
    }
    // What the option's state was, to see whether the command asks for a change.
    const StatoOpzione noi = flusso.Nostra(opzione), loro = flusso.Loro(opzione);
    const std::uint64_t numeroPrima =
        codice >= t::SERVER_OFFSET && codice <= t::SERVER_OFFSET + t::PURGE_DATA
            ? flusso.RispostaA(static_cast<std::uint8_t>(codice - t::SERVER_OFFSET)).numero
            : 0;
    const std::size_t prima = uscita.size();
    for (const std::uint8_t b : filo) flusso.Analizza(b, ricevuti, uscita);
    Verifica(flusso.TraIDati());
    const std::size_t risposte = uscita.size() - prima;
    if (comando == 0) {
      Verifica(risposte == 0);
    } else {
      Verifica(risposte == 0 || risposte == 3);
      if (risposte == 3) {
        Verifica(uscita[prima + 2] == opzione);
        const std::uint8_t r = uscita[prima + 1];
        if (comando == t::DO || comando == t::DONT) Verifica(r == t::WILL || r == t::WONT);
        if (comando == t::WILL || comando == t::WONT) Verifica(r == t::DO || r == t::DONT);
      }
      // A request for the state already held is not answered.
      const bool giaCosi = (comando == t::DO && noi == StatoOpzione::Si) ||
                           (comando == t::DONT && noi == StatoOpzione::No) ||
                           (comando == t::WILL && loro == StatoOpzione::Si) ||
                           (comando == t::WONT && loro == StatoOpzione::No);
      if (giaCosi) Verifica(risposte == 0);
    }
    if (codice >= t::SERVER_OFFSET && codice <= t::SERVER_OFFSET + t::PURGE_DATA) {
      const auto& r = flusso.RispostaA(static_cast<std::uint8_t>(codice - t::SERVER_OFFSET));
      Verifica(r.numero == numeroPrima + 1);
      Verifica(r.valore == valore);
    }
  }
  ControllaUscita(uscita);
  Verifica(std::vector<std::uint8_t>(ricevuti.begin(), ricevuti.end()) == attesi);
  return 0;
}
