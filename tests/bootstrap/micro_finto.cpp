#include "tests/bootstrap/micro_finto.h"

#include <algorithm>

#include "comm/porta_seriale.h"
#include "image/file.h"
#include "load/load.h"

namespace bricola::prova {

void CMicroFinto::Accendi(bool rts) {
  acceso = true;
  ingresso.clear();
  uscita.clear();
  contaBlocchi = 0;
  contaCheck = 0;
  calibrato = false;
  switch (famiglia) {
    case Famiglia::Fr: modo = Modo::Bootstrap; break;  // its bootstrap needs no mode line here
    case Famiglia::BootResidente: modo = Modo::Applicazione; break;
    case Famiglia::Muto: modo = Modo::Spento; break;
    default: modo = rts ? Modo::Bootstrap : Modo::Applicazione; break;
  }
}

void CMicroFinto::Reset(bool rts) {
  if (orologio->Millisecondi() < accensione) return;  // not powered yet
  Accendi(rts);
}

void CMicroFinto::Ricevi(const std::uint8_t* dati, int n, int baud, bool rts) {
  if (orologio->Millisecondi() < accensione) return;
  if (!acceso) Accendi(rts);  // powered up while the line was held
  int atteso = 0;
  switch (modo) {
    case Modo::Spento: return;
    case Modo::Bootstrap: atteso = famiglia == Famiglia::Fr ? 9600 : baudBootstrap; break;
    case Modo::Caricatore: atteso = baudCaricatore; break;
    case Modo::Applicazione: atteso = 38400; break;
  }
  if (baud != atteso) return;  // noise at another rate
  const std::size_t primaUscita = uscita.size();
  ingresso.insert(ingresso.end(), dati, dati + n);
  struct SCadenza {
    CMicroFinto& m;
    std::size_t prima;
    int n, baud;
    ~SCadenza() {
      if (!m.cadenzato) return;
      const double ms = (n + static_cast<double>(m.uscita.size() - prima)) * 10000.0 / baud;
      m.pronto = m.orologio->Millisecondi() + static_cast<std::int64_t>(ms + 0.999);
    }
  } cadenza{*this, primaUscita, n, baud};
  switch (modo) {
    case Modo::Bootstrap:
      if (famiglia == Famiglia::F2mc16Lx) Bootstrap16Lx();
      else if (famiglia == Famiglia::F2mc16Fx) Bootstrap16Fx();
      else {
        for (std::uint8_t b : ingresso) {
          if (b == 'V') {
            ++check;
            uscita.push_back('F');
          }
        }
        ingresso.clear();
      }
      break;
    case Modo::Caricatore: Caricatore(); break;
    case Modo::Applicazione:
      if (famiglia == Famiglia::BootResidente) Boot();
      else ingresso.clear();
      break;
    default: break;
  }
}

void CMicroFinto::Bootstrap16Lx() {
  while (!ingresso.empty()) {
    const std::uint8_t b = ingresso[0];
    if (b == 0x18) {
      ++check;
      ingresso.erase(ingresso.begin());
      uscita.push_back(0x11);
    } else if (b == 0x00) {
      if (ingresso.size() < 5) return;
      const int len = ingresso[4];
      if (static_cast<int>(ingresso.size()) < len + 6) return;
      unsigned somma = 0;
      for (int i = 0; i < len + 5; ++i) somma += ingresso[static_cast<std::size_t>(i)];
      const auto ind = static_cast<std::uint16_t>((ingresso[1] << 8) | ingresso[2]);
      const bool buono = static_cast<std::uint8_t>(somma) == ingresso[static_cast<std::size_t>(len + 5)];
      if (buono) {
        for (int i = 0; i < len; ++i) ram[ind + static_cast<std::uint32_t>(i)] = ingresso[static_cast<std::size_t>(5 + i)];
      }
      blocchi.push_back({ind, len});
      uscita.push_back(contaBlocchi == bloccoGuasto ? rispostaGuasta : (buono ? 0x01 : 0x02));
      ++contaBlocchi;
      ingresso.erase(ingresso.begin(), ingresso.begin() + len + 6);
    } else if (b == 0x40) {
      if (ingresso.size() < 5) return;
      ingresso.erase(ingresso.begin(), ingresso.begin() + 5);
      ++eseguito;
      modo = Modo::Caricatore;
    } else {
      ingresso.erase(ingresso.begin());
    }
  }
}

void CMicroFinto::Bootstrap16Fx() {
  const auto controllo = [](const std::uint8_t* d, int n) {
    std::uint32_t s = 0;
    for (int i = 0; i < n; ++i) s += d[i];
    while (s >= 256) s = ((s >> 16) & 0xFF) + ((s >> 8) & 0xFF) + (s & 0xFF);
    return static_cast<std::uint8_t>(0xFF - s);
  };
  while (!ingresso.empty()) {
    const std::uint8_t b = ingresso[0];
    if (b == 0x00) {
      if (ingresso.size() < 5) return;
      const std::vector<std::uint8_t> c(ingresso.begin(), ingresso.begin() + 5);
      ingresso.erase(ingresso.begin(), ingresso.begin() + 5);
      if (c == std::vector<std::uint8_t>{0x00, 0x55, 0x66, 0x77, 0x88}) {
        ++check;
        if (contaCheck++ < checkSbagliati) uscita.push_back('<');
        else uscita.push_back('F');
      } else if (c == std::vector<std::uint8_t>{0x00, 0x55, 0x87, 0x00, 0x78}) {
        calibrato = true;
        uscita.push_back('i');
      }
    } else if (b == 0x12) {
      if (ingresso.size() < 6) return;
      const int len = ingresso[4] == 0 ? 256 : ingresso[4];
      if (static_cast<int>(ingresso.size()) < len + 7) return;
      const auto ind = static_cast<std::uint16_t>(ingresso[1] | (ingresso[2] << 8));
      const bool buono = controllo(ingresso.data(), 5) == ingresso[5] &&
                         controllo(ingresso.data(), len + 6) == ingresso[static_cast<std::size_t>(len + 6)];
      if (buono) {
        for (int i = 0; i < len; ++i) ram[ind + static_cast<std::uint32_t>(i)] = ingresso[static_cast<std::size_t>(6 + i)];
      }
      blocchi.push_back({ind, len});
      uscita.push_back(contaBlocchi == bloccoGuasto ? rispostaGuasta : (buono ? 'i' : '<'));
      ++contaBlocchi;
      ingresso.erase(ingresso.begin(), ingresso.begin() + len + 7);
    } else if (b == 0x9F) {
      if (ingresso.size() < 5) return;
      const bool buono = ingresso[1] == 0x20 && ingresso[2] == 0x7A && ingresso[3] == 0x00 && ingresso[4] == 0xC5;
      ingresso.erase(ingresso.begin(), ingresso.begin() + 5);
      ++eseguito;
      uscita.push_back(buono ? 'i' : '<');
      if (buono) modo = Modo::Caricatore;
    } else {
      ingresso.erase(ingresso.begin());
    }
  }
}

std::uint32_t CMicroFinto::Settore(std::uint32_t a) const {
  for (std::size_t i = 0; i + 1 < settori.size(); ++i) {
    if (a >= settori[i] && a < settori[i + 1]) return settori[i + 1];
  }
  return a + 1;
}

void CMicroFinto::Rispondi(std::vector<std::uint8_t> r, bool conControllo, bool doppio) {
  if (conControllo) r = ConControllo(r);
  if (doppio) r.insert(r.begin(), r[0]);
  uscita.insert(uscita.end(), r.begin(), r.end());
}

void CMicroFinto::Caricatore() {
  const auto a3 = [&](int da) {
    return static_cast<std::uint32_t>(ingresso[static_cast<std::size_t>(da)] |
                                      (ingresso[static_cast<std::size_t>(da + 1)] << 8) |
                                      (ingresso[static_cast<std::size_t>(da + 2)] << 16));
  };
  while (!ingresso.empty()) {
    const std::uint8_t c = ingresso[0];
    int n = 0;
    switch (c) {
      case 0xA5: n = 1; break;
      case 0xFE: n = 4; break;
      case 0xEC: n = 10; break;
      case 0xEE: case 0xEF: n = 7; break;
      case 0xF2: n = 9; break;
      case 0xED:
        if (ingresso.size() < 6) return;
        n = 6 + (ingresso[4] | (ingresso[5] << 8)) + 3;
        break;
      default: ingresso.erase(ingresso.begin()); continue;
    }
    if (static_cast<int>(ingresso.size()) < n) return;
    comandi.push_back(c);
    if (c != 0xA5 && HashRuota5(ingresso.data(), n) != 0) {
      ingresso.erase(ingresso.begin(), ingresso.begin() + n);
      continue;  // a frame with a wrong check is dropped
    }
    switch (c) {
      case 0xA5: uscita.push_back(0xA6); uscita.push_back(codiceMicro); break;
      case 0xFE: Rispondi({0xFE, lunBuf}, true); break;
      case 0xEC: {
        const std::uint32_t da = a3(1), a = a3(4) + 2;
        blank.push_back(da);
        bool vuoto = true;
        for (std::uint32_t i = da; i < a && vuoto; ++i) vuoto = Flash(i) == 0xFF;
        Rispondi({0xEC, static_cast<std::uint8_t>(vuoto ? 0xFF : 0x00)}, true, true);
        break;
      }
      case 0xEE: {
        const std::uint32_t s = a3(1);
        erase.push_back(s);
        if (nonCancellabili.count(s)) {
          Rispondi({0xEE, 0x01}, true, true);
          break;
        }
        const std::uint32_t fine = Settore(s);
        for (auto it = flash.begin(); it != flash.end();) it = (it->first >= s && it->first < fine) ? flash.erase(it) : std::next(it);
        Rispondi({0xEE, 0x00}, true, true);
        break;
      }
      case 0xEF:
        chipCancellato = risultatoEraseChip == 0;
        if (chipCancellato) flash.clear();
        Rispondi({0xEF, risultatoEraseChip}, true, true);
        break;
      case 0xED: {
        const std::uint32_t da = a3(1);
        const int len = ingresso[4] | (ingresso[5] << 8);
        scritture.push_back(da);
        lunghezzeScritture.push_back(len);
        for (int i = 0; i < len; ++i) flash[da + static_cast<std::uint32_t>(i)] = ingresso[static_cast<std::size_t>(6 + i)];
        Rispondi({0xED, 0x00}, true);
        break;
      }
      case 0xF2: {
        const std::uint32_t da = a3(1);
        const int len = ingresso[4] | (ingresso[5] << 8);
        letture.push_back(da);
        std::vector<std::uint8_t> r{0xF2};
        for (int i = 0; i < len; ++i) {
          const std::uint32_t x = da + static_cast<std::uint32_t>(i);
          r.push_back(static_cast<std::uint8_t>(Flash(x) ^ (x == indirizzoAlterato ? 0x10 : 0)));
        }
        Rispondi(r, true);
        break;
      }
      default: break;
    }
    ingresso.erase(ingresso.begin(), ingresso.begin() + n);
  }
}

void CMicroFinto::Boot() {
  while (!ingresso.empty()) {
    if (ingresso[0] == 0xF3) {
      if (ingresso.size() < 4) return;
      ++richiesteFirma;
      ingresso.erase(ingresso.begin(), ingresso.begin() + 4);
      Rispondi({0xF3, 0x10, 0x00}, true);
    } else if (ingresso[0] == 0xF7) {
      if (ingresso.size() < 5) return;
      ingresso.erase(ingresso.begin(), ingresso.begin() + 5);
      Rispondi({0xF7, microBoot}, true);
    } else {
      ingresso.erase(ingresso.begin());
    }
  }
}

int CMicroFinto::Prendi(std::uint8_t* d, int n) {
  if (cadenzato && orologio->Millisecondi() < pronto) return 0;
  const int k = std::min<int>(n, static_cast<int>(uscita.size()));
  std::copy(uscita.begin(), uscita.begin() + k, d);
  uscita.erase(uscita.begin(), uscita.begin() + k);
  return k;
}

// --- the interface ----------------------------------------------------------------------------

int CInterfacciaMicro::ApriLinea(int porta, int baud, int, int* esito) {
  handle = ApriPorta(porta + 1, baud, false, false);
  *esito = handle == kHandleNonValido ? 11 : 0;
  return handle == kHandleNonValido ? 0 : 1;
}

int CInterfacciaMicro::ChiudiLinea() {
  if (handle == kHandleNonValido) return 0;
  ChiudiPorta(handle);
  handle = kHandleNonValido;
  return 1;
}

int CInterfacciaMicro::ScriviLinea(const std::uint8_t* dati, int lunghezza) {
  if (scritturaGuasta || handle == kHandleNonValido) return -1;
  byteScritti += lunghezza;
  micro.Ricevi(dati, lunghezza, linea.baud, linea.rts);
  return lunghezza;
}

int CInterfacciaMicro::LeggiLinea(std::uint8_t* destinazione, int lunghezza) {
  return micro.Prendi(destinazione, lunghezza);
}

}  // namespace bricola::prova
