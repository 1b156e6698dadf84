#include "jobs/lettura_flash.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/esiti.h"
#include "image/analisi.h"
#include "image/memoria.h"
#include "image/modelli.h"
#include "image/scrittura.h"
#include "jobs/verifica_boot.h"
#include "load/load_90fxxx.h"

namespace bricola {

namespace {

constexpr int kBaudApertura = 38400;
// Where the flash map does not know the sector of an address, blank runs are
// looked for in blocks of this size (the smallest erase sector of the boards'
// flash chips), aligned on it.
constexpr std::uint32_t kBloccoMinimo = 0x2000;
// More than this is not held in memory for one backup.
constexpr std::uint64_t kMassimoByte = 256ull << 20;

struct SNomeMappa {
  const char* nome;
  const SMappa* mappa;
};
const SNomeMappa kMappe[] = {
    {"M256", &kMappaM256}, {"M64", &kMappaM64},   {"MPIC", &kMappaMPIC},
    {"M512", &kMappaM512}, {"M512x", &kMappaM512x}, {"M512r", &kMappaM512r},
};

// Collects the ranges as they are read.
class CRaccolta : public CRicevitoreLettura {
 public:
  void Prepara(const std::vector<SIntervalloLettura>& nuovi) {
    intervalli = nuovi;
    dati.assign(nuovi.size(), {});
    corrente = 0;
  }
  void Svuota() {
    intervalli.clear();
    dati.clear();
    dati.shrink_to_fit();
  }
  bool DatiLetti(std::uint32_t indirizzo, const std::uint8_t* byte, int n) override {
    // Pieces come in address order, range after range.
    while (corrente < intervalli.size() &&
           indirizzo >= intervalli[corrente].fine) {
      ++corrente;
    }
    if (corrente >= intervalli.size() || n <= 0) return false;
    const SIntervalloLettura& r = intervalli[corrente];
    std::vector<std::uint8_t>& d = dati[corrente];
    if (indirizzo != r.inizio + d.size() ||
        static_cast<std::uint64_t>(indirizzo) + static_cast<std::uint32_t>(n) > r.fine) {
      return false;
    }
    if (d.empty()) d.reserve(r.fine - r.inizio);
    d.insert(d.end(), byte, byte + n);
    return true;
  }

  std::vector<SIntervalloLettura> intervalli;
  std::vector<std::vector<std::uint8_t>> dati;
  std::size_t corrente = 0;
};

bool Vuoto(const std::uint8_t* d, std::size_t n) {
  return std::all_of(d, d + n, [](std::uint8_t b) { return b == 0xFF; });
}

// End of the sector holding a (the map's own sector where it knows one,
// else the aligned block), not past fine.
std::uint64_t FineSettore(const CMemoria& mappa, std::uint32_t a, std::uint64_t fine) {
  std::uint32_t si = 0, sf = 0, ld = 0;
  const std::uint8_t* pd = nullptr;
  std::uint64_t f = (static_cast<std::uint64_t>(a) / kBloccoMinimo + 1) * kBloccoMinimo;
  if (mappa.TrovaSettore(a, si, sf, pd, ld) && sf > a) f = sf;
  return std::min(f, fine);
}

}  // namespace

bool IntervalliMappa(const std::string& nome, std::vector<SIntervalloFlash>* intervalli) {
  for (const SNomeMappa& m : kMappe) {
    if (nome != m.nome) continue;
    if (intervalli) {
      std::vector<SIntervalloFlash> r;
      for (std::uint32_t i = 0; i < m.mappa->numRegioni; ++i) {
        r.push_back({m.mappa->regioni[i].inizio, m.mappa->regioni[i].fine});
      }
      std::sort(r.begin(), r.end(),
                [](const SIntervalloFlash& a, const SIntervalloFlash& b) { return a.inizio < b.inizio; });
      *intervalli = std::move(r);
    }
    return true;
  }
  return false;
}

struct CLetturaFlash::Stato {
  CIntSeriale seriale;
  CLoad90Fxxx loader;
  CRaccolta raccolta;
  int porta = 0;
  int inCorso = 0;
  int indirizzo = 0;
  std::string fileUscita;
  std::uint16_t codice = 0xFFFF;
  std::string versione = "?.?";
};

CLetturaFlash::CLetturaFlash() : stato(new Stato) {}

CLetturaFlash::~CLetturaFlash() {
  int esito = 0;
  Ferma(&esito);
  delete stato;
}

void CLetturaFlash::ImpostaPorta(int n) { stato->porta = n; }

void CLetturaFlash::ImpostaSveglia(CSveglia* sveglia) { stato->seriale.ImpostaSveglia(sveglia); }

void CLetturaFlash::ImpostaRegistro(const std::string& percorso) {
  ImpostaFileRegistro(percorso);
  stato->loader.ImpostaFileRegistro(percorso);
}

int CLetturaFlash::InCorso() const { return stato->inCorso; }
std::uint16_t CLetturaFlash::CodiceMacchina() const { return stato->codice; }
std::string CLetturaFlash::VersioneBoot() const { return stato->versione; }

int CLetturaFlash::Avvia(int indirizzo, const std::vector<SIntervalloFlash>& intervalli,
                         const std::string& fileUscita, int* periodoTimer, int* fase, int* esito) {
  Stato& s = *stato;
  if (s.inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  *fase = ST_FAILED;
  std::vector<SIntervalloLettura> lettura;
  std::uint64_t totale = 0;
  bool validi = !intervalli.empty();
  for (std::size_t i = 0; validi && i < intervalli.size(); ++i) {
    const SIntervalloFlash& r = intervalli[i];
    if (r.fine <= r.inizio || (i > 0 && r.inizio < intervalli[i - 1].fine)) validi = false;
    totale += r.fine - r.inizio;
    lettura.push_back({r.inizio, r.fine});
  }
  if (!validi) {
    Registra("lettura flash: intervalli non validi");
    *esito = RC_NO_MODULES;
    return 0;
  }
  if (totale > kMassimoByte) {
    Registra("lettura flash: intervalli troppo grandi");
    *esito = RC_NO_MEMORY;
    return 0;
  }
  // The file is written at the end: a place where it cannot go is said now,
  // before the board is touched.
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path uscita(fileUscita);
  const fs::path cartella = uscita.has_parent_path() ? uscita.parent_path() : fs::path(".");
  if (fileUscita.empty() || fs::is_directory(uscita, ec) || !fs::is_directory(cartella, ec)) {
    Registra("lettura flash: file di uscita non valido");
    *esito = RC_FILE_CREATE;
    return 0;
  }
  s.fileUscita = fileUscita;
  s.indirizzo = indirizzo > 0 ? indirizzo : 0;
  s.codice = 0xFFFF;
  s.versione = "?.?";
  if (!s.seriale.ApriLinea(s.porta, kBaudApertura, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  s.raccolta.Prepara(lettura);
  if (!s.loader.AvviaLettura(s.indirizzo, lettura, &s.raccolta, &s.seriale, esito)) {
    Registra("errore start");
    s.raccolta.Svuota();
    s.seriale.ChiudiLinea();
    Registra("chiusura interfaccia");
    return 0;
  }
  s.inCorso = 1;
  *periodoTimer = s.loader.PeriodoTimer();
  *fase = s.loader.fase;
  *esito = RC_OK;
  return 1;
}

int CLetturaFlash::Passo(int* aggiorna, int* fase, int* esito, std::uint32_t* fatti,
                         std::uint32_t* totale) {
  Stato& s = *stato;
  *aggiorna = 0;
  if (!s.inCorso) {
    *fase = ST_NONE;
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  const int continua = s.loader.Passo(aggiorna);
  *fatti = static_cast<std::uint32_t>(std::max(0, s.loader.byteFatti));
  *totale = static_cast<std::uint32_t>(std::max(0, s.loader.byteTotali));
  *fase = s.loader.fase;
  *esito = s.loader.esito;
  if (continua) return 1;

  if (s.loader.FirmaRicevuta()) {
    s.codice = s.loader.CodiceScheda();
    s.versione = TestoVersioneBoot(s.loader.VersioneBoot());
  }
  int esitoFerma = RC_OK;
  if (s.loader.fase != ST_DONE) {
    if (*esito == RC_OK) *esito = RC_INTERNAL;
    Ferma(&esitoFerma);
    *aggiorna = 1;
    return 0;
  }
  s.loader.Termina();
  s.inCorso = 0;
  s.seriale.ChiudiLinea();
  Registra("chiusura interfaccia");

  // One module per range, each with the board's CAN address (a remote
  // board), a header that names the board's micro, and one data record from
  // the first to the last sector of the range that is not blank.
  const int micro = s.loader.TipoMicroBoot();
  int tipoLoad = ModelloTipoLoad(TrovaModello(s.codice));
  int velocita[2] = {0, 0};
  const bool conIntestazione =
      micro >= 1 && micro <= 9 && SelettoreIntestazione(micro, false, tipoLoad, velocita[0], velocita[1]);
  CMemoria mappa;
  mappa.ImpostaMappa(MappaPerTipoLoad(tipoLoad));
  std::vector<std::uint8_t> file;
  int moduli = 0;
  for (std::size_t i = 0; i < s.raccolta.intervalli.size(); ++i) {
    const SIntervalloLettura& r = s.raccolta.intervalli[i];
    const std::vector<std::uint8_t>& d = s.raccolta.dati[i];
    if (d.size() != r.fine - r.inizio) continue;  // cannot happen after a read that ended well
    std::uint64_t primo = r.fine;
    std::uint64_t ultimo = r.fine;
    for (std::uint64_t a = r.inizio; a < r.fine;) {
      const std::uint64_t fine = FineSettore(mappa, static_cast<std::uint32_t>(a), r.fine);
      if (!Vuoto(d.data() + (a - r.inizio), static_cast<std::size_t>(fine - a))) {
        if (primo == r.fine) primo = a;
        ultimo = fine;
      }
      a = fine;
    }
    if (primo == r.fine) continue;  // the whole range is blank
    SModuloImmagine modulo;
    modulo.codice = s.codice;
    modulo.indirizzoCan = static_cast<std::uint32_t>(s.indirizzo);
    if (conIntestazione) {
      modulo.conIntestazione = true;
      modulo.tipoMicro = micro;
      modulo.tipoModulo = 0;
      modulo.caricabileRemoto = true;
      char nome[96];
      if (s.indirizzo > 0) {
        std::snprintf(nome, sizeof nome, "Copia flash %04X CAN %04X %06X-%06X", s.codice,
                      static_cast<unsigned>(s.indirizzo & 0xFFFF), r.inizio, r.fine);
      } else {
        std::snprintf(nome, sizeof nome, "Copia flash %04X %06X-%06X", s.codice, r.inizio, r.fine);
      }
      modulo.nome = nome;
    }
    const auto da = static_cast<std::ptrdiff_t>(primo - r.inizio);
    const auto a = static_cast<std::ptrdiff_t>(ultimo - r.inizio);
    modulo.record.push_back({static_cast<std::uint32_t>(primo), std::vector<std::uint8_t>(d.begin() + da, d.begin() + a)});
    const std::vector<std::uint8_t> byte = ComponiImmagine(modulo);
    file.insert(file.end(), byte.begin(), byte.end());
    ++moduli;
  }
  s.raccolta.Svuota();
  if (moduli == 0) {
    Registra("lettura flash: tutti gli intervalli sono vuoti, nessun file");
    *fase = ST_FAILED;
    *esito = RC_NO_MODULES;
    *aggiorna = 1;
    return 0;
  }
  if (!SostituisciFile(s.fileUscita, file)) {
    Registra("errore scrittura file");
    *fase = ST_FAILED;
    *esito = RC_FILE_CREATE;
    *aggiorna = 1;
    return 0;
  }
  RegistraValore("file scritto, %d moduli", moduli);
  *fase = ST_DONE;
  *esito = RC_OK;
  *aggiorna = 1;
  return 0;
}

int CLetturaFlash::Ferma(int* esito) {
  Stato& s = *stato;
  if (!s.inCorso) {
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  s.loader.Termina();
  s.inCorso = 0;
  s.raccolta.Svuota();
  s.seriale.ChiudiLinea();
  Registra("chiusura interfaccia");
  *esito = RC_OK;
  return 1;
}

}  // namespace bricola
