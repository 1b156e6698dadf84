// An in-memory Memox key for the tests of the key's file system, loaders and
// jobs: pages kept in a vector (erased pages read 0xFF), a page write lands at
// the start of the page and zero-fills the rest (as the USB key does), every
// operation is recorded, and faults are scripted per operation.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "key/memox_interfaccia.h"

namespace bricola::prova {

class CMemoxFinta : public CMemoxInterfaccia {
 public:
  struct Operazione {
    char tipo;  // 'L' LeggiPagina, 'I' LeggiIntervallo, 'S' ScriviPagina, 'C' CancellaPagina
    std::uint16_t pagina;
    std::uint16_t offset;
    std::uint16_t lunghezza;
  };

  explicit CMemoxFinta(std::uint16_t p = 264, std::uint32_t n = 4096, std::uint8_t tipo = 0x24)
      : tipoChiave(tipo), pagine(static_cast<std::size_t>(p) * n, 0xFF) {
    dimensionePagina = p;
    numeroPagine = n;
  }

  int Apri(int porta) override {
    ++aperture;
    portaAperta = porta;
    if (apriFallisce) return 0;
    aperta = true;
    return 1;
  }
  int Chiudi() override {
    ++chiusure;
    aperta = false;
    return 1;
  }
  bool DriverEsteso() override { return esteso; }
  int CancellaTutto() override {
    if (!cancellaTuttoRiesce) return 0;
    std::fill(pagine.begin(), pagine.end(), 0xFF);
    return 1;
  }
  int LeggiIntervallo(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                      std::uint16_t lunghezza) override {
    return Leggi('I', pagina, offset, buffer, lunghezza);
  }
  int LeggiPagina(std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer,
                  std::uint16_t lunghezza) override {
    return Leggi('L', pagina, offset, buffer, lunghezza);
  }
  int ScriviPagina(std::uint16_t pagina, std::uint16_t offset, const std::uint8_t* buffer,
                   std::uint16_t lunghezza) override {
    operazioni.push_back({'S', pagina, offset, lunghezza});
    if (Guasto(scritturaFallita, pagina) || pagina >= numeroPagine || offset != 0 ||
        lunghezza > dimensionePagina) {
      return 0;
    }
    std::uint8_t* p = Pagina(pagina);
    std::fill(p, p + dimensionePagina, 0);
    std::copy(buffer, buffer + lunghezza, p);
    return 1;
  }
  int CancellaPagina(std::uint16_t pagina) override {
    operazioni.push_back({'C', pagina, 0, 0});
    if (Guasto(cancellazioneFallita, pagina) || pagina >= numeroPagine) return 0;
    std::fill(Pagina(pagina), Pagina(pagina) + dimensionePagina, 0xFF);
    return 1;
  }
  int LeggiTipo(std::uint8_t* tipo) override {
    if (!tipoLeggibile) return 0;
    *tipo = tipoChiave;
    return 1;
  }

  std::uint8_t* Pagina(std::uint32_t n) { return pagine.data() + static_cast<std::size_t>(n) * dimensionePagina; }
  std::vector<std::uint8_t> Byte(std::uint32_t pagina, std::uint32_t offset, std::uint32_t n) {
    const std::uint8_t* p = Pagina(pagina) + offset;
    return {p, p + n};
  }
  // Operations of one kind, in order.
  std::vector<Operazione> Di(char tipo) const {
    std::vector<Operazione> r;
    for (const auto& o : operazioni) {
      if (o.tipo == tipo) r.push_back(o);
    }
    return r;
  }

  // Faults: page -> how many more operations on it fail (-1: every one).
  std::map<std::uint16_t, int> scritturaFallita;
  std::map<std::uint16_t, int> cancellazioneFallita;
  std::map<std::uint16_t, int> letturaFallita;
  bool apriFallisce = false;
  bool tipoLeggibile = true;
  bool esteso = true;
  bool cancellaTuttoRiesce = true;
  std::uint8_t tipoChiave;

  bool aperta = false;
  int aperture = 0;
  int chiusure = 0;
  int portaAperta = -1;
  std::vector<Operazione> operazioni;

 private:
  static bool Guasto(std::map<std::uint16_t, int>& m, std::uint16_t pagina) {
    auto it = m.find(pagina);
    if (it == m.end() || it->second == 0) return false;
    if (it->second > 0) --it->second;
    return true;
  }
  int Leggi(char tipo, std::uint16_t pagina, std::uint16_t offset, std::uint8_t* buffer, std::uint16_t lunghezza) {
    operazioni.push_back({tipo, pagina, offset, lunghezza});
    if (Guasto(letturaFallita, pagina) || pagina >= numeroPagine || offset + lunghezza > dimensionePagina) return 0;
    std::copy(Pagina(pagina) + offset, Pagina(pagina) + offset + lunghezza, buffer);
    return 1;
  }

  std::vector<std::uint8_t> pagine;
};

}  // namespace bricola::prova
