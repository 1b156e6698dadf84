#include "image/memoria.h"

namespace bricola {

namespace {

constexpr std::int16_t kQuantiStanno = -1;  // as many as fit in the region

// Sector lists.
constexpr SSettore kF256[] = {{0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1}};
constexpr SSettore kF512[] = {{0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1},
                              {0x10000, 3}, {0x8000, 1}, {0x2000, 2}, {0x4000, 1}};
constexpr SSettore kF64[] = {{0x8000, 1}, {0x2000, 2}, {0x4000, 1}};
constexpr SSettore kF64x8[] = {{0x10000, 8}};
constexpr SSettore kF128x4[] = {{0x20000, 4}};
constexpr SSettore kE64x16[] = {{0x10000, 16}};
constexpr SSettore kETop[] = {{0x10000, kQuantiStanno}, {0x8000, 1}, {0x2000, 1}, {0x2000, 1}, {0x4000, 1}};
constexpr SSettore kEBottom[] = {{0x4000, 1}, {0x2000, 1}, {0x2000, 1}, {0x8000, 1}, {0x10000, kQuantiStanno}};
constexpr SSettore kP64[] = {{0x40, 512}};
constexpr SSettore kP16[] = {{0x10, 1}};

template <std::size_t N>
constexpr std::uint32_t Numero(const SSettore (&)[N]) {
  return static_cast<std::uint32_t>(N);
}

// The configuration word block of PIC boards, written without erasing.
constexpr std::uint8_t kConfigurazionePic[16] = {0xFF, 0xD8, 0xF0, 0xF0, 0xFF, 0xFE, 0x85, 0xFF,
                                                 0xF0, 0x3F, 0xF0, 0x1F, 0xF0, 0xBF, 0xFF, 0xFF};

// A region whose sectors are known in advance: the same list either way.
constexpr SRegione Interna(std::uint32_t inizio, std::uint32_t fine, const SSettore* lista,
                           std::uint32_t numero, std::uint16_t maschera = 1) {
  return SRegione{inizio, fine, 1, numero, lista, numero, lista, 0, REGIONE_NOTA, 1, maschera, nullptr, 0};
}

// An external region: list A ETop, list B EBottom.
constexpr SRegione Esterna(std::uint32_t inizio, std::uint32_t fine, std::uint32_t tipo,
                           std::uint32_t selettore) {
  return SRegione{inizio, fine, 0, Numero(kETop), kETop, Numero(kEBottom), kEBottom, 0, tipo, selettore, 1,
                  nullptr, 0};
}

// An external region of 64 KB sectors whichever list is chosen.
constexpr SRegione Esterna64(std::uint32_t inizio, std::uint32_t fine, std::uint32_t tipo,
                             std::uint32_t selettore) {
  return SRegione{inizio, fine, 0, Numero(kE64x16), kE64x16, Numero(kE64x16), kE64x16, 0, tipo, selettore, 1,
                  nullptr, 0};
}

constexpr SRegione kM256[] = {
    Interna(0xFC0000, 0x1000000, kF256, Numero(kF256)),
    Esterna(0x400000, 0x600000, REGIONE_NOTA, 0),
    Esterna(0x600000, 0x800000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0x800000, 0xA00000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0xA00000, 0xC00000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0xC00000, 0xE00000, REGIONE_DA_CHIEDERE, 1),
};

constexpr SRegione kM64[] = {
    Interna(0xFF0000, 0x1000000, kF64, Numero(kF64)),
};

constexpr SRegione kMPIC[] = {
    Interna(0x0, 0x8000, kP64, Numero(kP64), 7),
    SRegione{0x300000, 0x300010, 1, Numero(kP16), kP16, Numero(kP16), kP16, 1, REGIONE_NOTA, 1, 7,
             kConfigurazionePic, sizeof kConfigurazionePic},
};

constexpr SRegione kM512[] = {
    Interna(0xF80000, 0x1000000, kF512, Numero(kF512)),
    Esterna64(0x200000, 0x300000, REGIONE_DA_CHIEDERE, 0),
    Esterna64(0x300000, 0x400000, REGIONE_DA_CHIEDERE, 0),
    Esterna(0x400000, 0x600000, REGIONE_NOTA, 0),
    Esterna(0x600000, 0x800000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0x800000, 0xA00000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0xA00000, 0xC00000, REGIONE_DA_CHIEDERE, 1),
    Esterna(0xC00000, 0xE00000, REGIONE_DA_CHIEDERE, 1),
};

constexpr SRegione kM512x[] = {
    Interna(0xF80000, 0x1000000, kF64x8, Numero(kF64x8)),
    Esterna64(0x200000, 0x300000, REGIONE_DA_CHIEDERE, 0),
    Esterna64(0x300000, 0x400000, REGIONE_DA_CHIEDERE, 0),
    Esterna(0x400000, 0x600000, REGIONE_NOTA, 0),
};

constexpr SRegione kM512r[] = {
    Interna(0x80000, 0x100000, kF128x4, Numero(kF128x4)),
    Esterna(0x400000, 0x600000, REGIONE_NOTA, 0),
};

// Every block comes from the board.
constexpr SRegione kMAuto[] = {
    SRegione{0x0, 0xFFFFFFFF, 0, 0, nullptr, 0, nullptr, 0, REGIONE_LINEARE, 0, 1, nullptr, 0},
};

template <std::size_t N>
constexpr SMappa Mappa(const SRegione (&r)[N]) {
  return SMappa{static_cast<std::uint32_t>(N), r};
}

// Lays the list's sectors from `inizio` upwards (entries with count -1 stand
// for `quantiStanno` sectors) and finds the one holding the address.
bool CercaNellaLista(std::uint32_t inizio, const SSettore* lista, std::uint32_t numero,
                     std::uint32_t quantiStanno, std::uint32_t indirizzo, std::uint32_t& inizioSettore,
                     std::uint32_t& fineSettore) {
  if (!lista) return false;
  std::uint64_t cursore = inizio;
  for (std::uint32_t i = 0; i < numero; ++i) {
    const std::uint64_t quanti = lista[i].ripetizioni == kQuantiStanno
                                     ? quantiStanno
                                     : static_cast<std::uint64_t>(lista[i].ripetizioni < 0 ? 0 : lista[i].ripetizioni);
    const std::uint64_t dimensione = lista[i].dimensione;
    if (quanti == 0 || dimensione == 0) continue;
    const std::uint64_t fine = cursore + quanti * dimensione;
    if (indirizzo >= cursore && indirizzo < fine) {
      const std::uint64_t s = cursore + (indirizzo - cursore) / dimensione * dimensione;
      if (s + dimensione > 0x100000000ull) return false;  // a sector past the address space
      inizioSettore = static_cast<std::uint32_t>(s);
      fineSettore = static_cast<std::uint32_t>(s + dimensione);
      // A sector ending exactly at 4 GB has an end of 0 in 32 bits; none of ours does.
      return true;
    }
    cursore = fine;
  }
  return false;
}

}  // namespace

const SListaSettori kListaF256{Numero(kF256), kF256};
const SListaSettori kListaF512{Numero(kF512), kF512};
const SListaSettori kListaF64{Numero(kF64), kF64};
const SListaSettori kListaF64x8{Numero(kF64x8), kF64x8};
const SListaSettori kListaF128x4{Numero(kF128x4), kF128x4};
const SListaSettori kListaE64x16{Numero(kE64x16), kE64x16};
const SListaSettori kListaETop{Numero(kETop), kETop};
const SListaSettori kListaEBottom{Numero(kEBottom), kEBottom};
const SListaSettori kListaP64{Numero(kP64), kP64};
const SListaSettori kListaP16{Numero(kP16), kP16};

const SMappa kMappaM256 = Mappa(kM256);
const SMappa kMappaM64 = Mappa(kM64);
const SMappa kMappaMPIC = Mappa(kMPIC);
const SMappa kMappaM512 = Mappa(kM512);
const SMappa kMappaM512x = Mappa(kM512x);
const SMappa kMappaM512r = Mappa(kM512r);
const SMappa kMappaMAuto = Mappa(kMAuto);

const SMappa& MappaPerTipoLoad(int tipoLoad) {
  switch (tipoLoad) {
    case 4: return kMappaM64;
    case 5: return kMappaMPIC;
    case 7: return kMappaM512;
    case 9: return kMappaM512x;
    case 11: return kMappaM512r;
    default: return kMappaM256;
  }
}

void CMemoria::ImpostaMappa(std::uint32_t numero, const SRegione* tabella) {
  numRegioni = tabella ? numero : 0;
  regioni = tabella;
  lineare = false;
  inizioLineare = 0;
  fineLineare = 0;
  ultimoSettore = 0;
  numSettoriAttivi = 0;
  settoriAttivi = nullptr;
  regioneAttiva = -1;
  ripetizioni = 0;
}

void CMemoria::ImpostaLineare(std::uint32_t inizio, std::uint32_t lunghezza) {
  lineare = true;
  inizioLineare = inizio;
  const std::uint64_t fine = static_cast<std::uint64_t>(inizio) + lunghezza;
  fineLineare = fine > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(fine);
}

int CMemoria::SelezionaRegione(std::uint32_t inizioRegione, std::uint32_t dimensioneFlash, bool usaListaA) {
  lineare = false;
  for (std::uint32_t i = 0; i < numRegioni; ++i) {
    const SRegione& r = regioni[i];
    if (r.inizio != inizioRegione) continue;
    regioneAttiva = static_cast<int>(i);
    settoriAttivi = usaListaA ? r.listaA : r.listaB;
    numSettoriAttivi = usaListaA ? r.numListaA : r.numListaB;
    // The fixed entries take their share of the chip; what is left is split
    // into sectors of the entry that repeats.
    std::uint64_t resto = dimensioneFlash;
    std::uint64_t dimensioneRipetuta = 1;
    for (std::uint32_t k = 0; settoriAttivi && k < numSettoriAttivi; ++k) {
      const SSettore& s = settoriAttivi[k];
      if (s.ripetizioni == kQuantiStanno) {
        dimensioneRipetuta = s.dimensione ? s.dimensione : 1;
        continue;
      }
      const std::uint64_t occupato = static_cast<std::uint64_t>(s.ripetizioni < 0 ? 0 : s.ripetizioni) * s.dimensione;
      resto = occupato >= resto ? 0 : resto - occupato;
    }
    ripetizioni = static_cast<std::uint32_t>(resto / dimensioneRipetuta);
    return 1;
  }
  return 0;
}

int CMemoria::TrovaSettore(std::uint32_t indirizzo, std::uint32_t& inizio, std::uint32_t& fine,
                           const std::uint8_t*& dati, std::uint32_t& lunghezzaDati) const {
  if (settoriAttivi && regioneAttiva >= 0 && static_cast<std::uint32_t>(regioneAttiva) < numRegioni) {
    if (CercaNellaLista(regioni[regioneAttiva].inizio, settoriAttivi, numSettoriAttivi, ripetizioni, indirizzo,
                        inizio, fine)) {
      dati = nullptr;
      lunghezzaDati = 0;
      return 1;
    }
    // Not in the chip chosen last: the micro's own flash may still hold it.
  }
  for (std::uint32_t i = 0; i < numRegioni; ++i) {
    const SRegione& r = regioni[i];
    if (!r.interna) continue;
    const SSettore* lista = r.selettore ? r.listaA : r.listaB;
    const std::uint32_t numero = r.selettore ? r.numListaA : r.numListaB;
    if (CercaNellaLista(r.inizio, lista, numero, 0, indirizzo, inizio, fine)) {
      dati = r.dati;
      lunghezzaDati = r.lunghezzaDati;
      return 1;
    }
  }
  return 0;
}

std::uint16_t CMemoria::LunghezzaNelSettore(std::uint16_t lunghezza, std::uint32_t indirizzo,
                                            const std::uint8_t*& dati, std::uint32_t& lunghezzaDati) const {
  if (lunghezza == 0) {
    dati = nullptr;
    lunghezzaDati = 0;
    return 0;
  }
  const std::uint64_t ultimo = static_cast<std::uint64_t>(indirizzo) + lunghezza - 1;
  if (lineare) {
    dati = nullptr;
    lunghezzaDati = 0;
    if (indirizzo < inizioLineare || indirizzo >= fineLineare) return 0;
    if (ultimo < fineLineare) return lunghezza;
    return static_cast<std::uint16_t>(fineLineare - indirizzo);
  }
  std::uint32_t inizio1 = 0, fine1 = 0;
  if (!TrovaSettore(indirizzo, inizio1, fine1, dati, lunghezzaDati)) return 0;
  if (ultimo > 0xFFFFFFFFull) return 0;
  std::uint32_t inizio2 = 0, fine2 = 0;
  const std::uint8_t* dati2 = nullptr;
  std::uint32_t lunghezza2 = 0;
  if (!TrovaSettore(static_cast<std::uint32_t>(ultimo), inizio2, fine2, dati2, lunghezza2)) return 0;
  if (inizio1 == inizio2) return lunghezza;
  return static_cast<std::uint16_t>(fine1 - indirizzo);
}

int CMemoria::ProssimoSettore(std::uint32_t indirizzo, bool senzaCancellazione, std::uint32_t& inizio,
                              std::uint32_t& fine, bool& fuoriMappa) {
  if (lineare) {
    fuoriMappa = false;
    if (senzaCancellazione || inizioLineare == ultimoSettore) return 0;
    inizio = inizioLineare;
    fine = fineLineare;
    ultimoSettore = inizioLineare;
    return 1;
  }
  std::uint32_t s = 0, e = 0;
  const std::uint8_t* dati = nullptr;
  std::uint32_t lunghezzaDati = 0;
  if (!TrovaSettore(indirizzo, s, e, dati, lunghezzaDati)) {
    fuoriMappa = true;
    return 0;
  }
  fuoriMappa = false;
  if (!senzaCancellazione && s != ultimoSettore) {
    inizio = s;
    fine = e;
    ultimoSettore = s;
    return 1;
  }
  return 0;
}

int CMemoria::RegioneDaIdentificare(std::uint32_t indirizzo, std::uint32_t& inizioRegione,
                                    bool& senzaCancellazione, bool& fuoriMappa) {
  for (std::uint32_t i = 0; i < numRegioni; ++i) {
    const SRegione& r = regioni[i];
    if (indirizzo < r.inizio || indirizzo >= r.fine) continue;
    fuoriMappa = false;
    senzaCancellazione = r.senzaCancellazione != 0;
    if (r.interna) return 0;
    switch (r.tipo) {
      case REGIONE_NOTA:
        SelezionaRegione(r.inizio, r.fine - r.inizio, r.selettore != 0);
        return 0;
      case REGIONE_LINEARE:
        if (lineare && indirizzo >= inizioLineare && indirizzo < fineLineare) return 0;
        inizioRegione = 0xFFFFFFFF;  // ask the board for the block around the address
        return 1;
      default:  // REGIONE_DA_CHIEDERE
        if (regioneAttiva == static_cast<int>(i)) return 0;
        inizioRegione = r.inizio;
        return 1;
    }
  }
  fuoriMappa = true;
  return 1;
}

std::uint16_t CMemoria::MascheraAllineamento() const {
  return numRegioni ? regioni[0].mascheraAllineamento : 0;
}

bool CMemoria::PrimaRegioneNonLineare() const {
  return numRegioni && regioni[0].tipo != REGIONE_LINEARE;
}

}  // namespace bricola
