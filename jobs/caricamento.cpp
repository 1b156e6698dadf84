#include "jobs/caricamento.h"

#include <algorithm>
#include <chrono>
#include <vector>

#include "base/esiti.h"
#include "image/modelli.h"
#include "key/memox.h"

namespace bricola {

namespace {

// The mapping of a module's class and load kind onto what a loader accepts.
int TipoModuloPerLoader(int tipoModulo) {
  return (tipoModulo >= 1 && tipoModulo <= 9) ? tipoModulo : 0;
}
int TipoLoadPerLoader(int tipoLoad) { return (tipoLoad >= 0 && tipoLoad <= 13) ? tipoLoad : 3; }

bool TipoChiave(int tipo) {
  return tipo == INTERFACCIA_CHIAVE_PARALLELA || tipo == INTERFACCIA_CHIAVE_USB;
}

// Load kinds written through a microcontroller's ROM bootstrap or by the 68331
// loader instead of a resident boot.
enum : int {
  LOAD_68331 = 0,
  LOAD_90F497_BOOT = 1,
  LOAD_90F549_BOOT = 2,
  LOAD_90F345_BOOT = 6,
  LOAD_96F338_BOOT = 8,
  LOAD_91F465_BOOT = 10,
};

}  // namespace

bool CMutexAttesa::Prendi(int ms) {
  std::unique_lock<std::mutex> l(mutex);
  if (!libero.wait_for(l, std::chrono::milliseconds(ms), [this] { return !preso; })) return false;
  preso = true;
  return true;
}

void CMutexAttesa::Rilascia() {
  {
    std::lock_guard<std::mutex> l(mutex);
    preso = false;
  }
  libero.notify_one();
}

CCaricamento::CCaricamento() = default;

CCaricamento::~CCaricamento() {
  // A job still running at destruction releases its loader and its line.
  int esito = 0;
  Ferma(&esito);
}

// --- analysis and selection ----------------------------------------------------

int CCaricamento::Analizza(const std::string& file, int* errore) {
  // A path cut to the first 260 characters could name another file: a longer
  // path is refused as a file that cannot be opened.
  if (file.size() > kMaxPercorso) {
    percorsoImmagine.clear();
    numModuli = 0;
    tuttiValidi = 0;
    inutilizzabile = 1;
    selezione.fill(0);
    CalcolaRiepiloghi();
    if (errore) *errore = ERRORE_APERTURA;
    return 0;
  }
  percorsoImmagine = file;
  int grezzo = 0;
  int errAnalisi = 0;
  const int ok = analisi.AnalizzaFile(percorsoImmagine, moduli.data(), kMaxModuli, numModuli,
                                      tuttiValidi, inutilizzabile, grezzo, errAnalisi);
  numModuli = std::clamp(numModuli, 0, kMaxModuli);
  // The selection follows the descriptors even after a failed analysis, so it
  // never refers to the modules of a file analysed before.
  selezione.fill(0);
  nomi.fill(nullptr);
  for (int i = 0; i < numModuli; ++i) {
    const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
    selezione[static_cast<std::size_t>(i)] =
        (m.stato != STATO_VALIDO || m.NonSelezionato()) ? 0 : 1;
  }
  CalcolaRiepiloghi();
  if (!ok) {
    if (errore) *errore = errAnalisi;
    return 0;
  }
  if (errore) *errore = ERRORE_NESSUNO;
  return 1;
}

int CCaricamento::SelezionaModuli(const int* flags, int conteggio) {
  if (inutilizzabile || conteggio > kMaxModuli || conteggio < 0) return 0;
  selezione.fill(0);
  for (int i = 0; i < conteggio; ++i) selezione[static_cast<std::size_t>(i)] = flags[i];
  CalcolaRiepiloghi();
  return 1;
}

void CCaricamento::CalcolaRiepiloghi() {
  qualcunoBootSel = CAnalisiFile::QualcunoBoot(moduli.data(), numModuli, selezione.data()) ? 1 : 0;
  qualcunoNonRemotoSel =
      CAnalisiFile::QualcunoNonRemoto(moduli.data(), numModuli, selezione.data()) ? 1 : 0;
  if (tuttiValidi) {
    selezioneValida = 1;
  } else if (inutilizzabile) {
    selezioneValida = 0;
  } else {
    selezioneValida =
        CAnalisiFile::TuttiSelezionatiValidi(moduli.data(), numModuli, selezione.data()) ? 1 : 0;
  }
}

int CCaricamento::FaseCorrente() const {
  if (preLoader) return preLoader->fase;
  if (loaderCorrente) return loaderCorrente->fase;
  return ST_NONE;
}

int CompilaInfoModulo(const CProgDescr& m, int selezionato, int lingua, SInfoModulo& info, int* esito,
                      int capacitaNome) {
  if (m.stato == STATO_CRC) {
    *esito = RC_MODULE_CORRUPT;
    return 0;
  }
  if (m.stato != STATO_VALIDO) {
    *esito = RC_MODULE_INVALID;
    return 0;
  }
  info.selezionato = selezionato;
  info.tipoLoad = m.TipoLoad();
  info.tipoModulo = m.TipoModulo();
  info.tipoContenuto = m.tipoContenuto;
  info.indirizzo = m.indirizzo;
  info.indirizzoSecondario = m.indirizzoSecondario;
  info.lunghezza = m.fine - m.inizio;
  info.lunghezzaDati = m.lunghezzaDati;
  info.codice = m.codice;
  if (m.conIntestazione) {
    info.nome = m.nome;
  } else {
    const auto indice = m.IndiceNome();
    info.nome = indice ? std::string(NomeModello(lingua, *indice)) : std::string();
  }
  if (capacitaNome > 0 && info.nome.size() > static_cast<std::size_t>(capacitaNome - 1)) {
    info.nome.resize(static_cast<std::size_t>(capacitaNome - 1));
  }
  info.datiUtente = m.datiUtente;
  *esito = RC_OK;
  return 1;
}

int CCaricamento::InfoModulo(int i, SInfoModulo& info, int* esito, int capacitaNome) const {
  if (i < 0 || i >= numModuli) {
    *esito = RC_NO_SUCH_MODULE;
    return 0;
  }
  const auto k = static_cast<std::size_t>(i);
  return CompilaInfoModulo(moduli[k], selezione[k], 0, info, esito, capacitaNome);
}

int CCaricamento::InfoModulo(int i, SInfoModulo& info, std::string& descrizione, int* esito,
                             int capacitaNome) const {
  if (!InfoModulo(i, info, esito, capacitaNome)) return 0;
  const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
  descrizione = m.descrizione.value_or(std::string());
  return 1;
}

// --- configuration --------------------------------------------------------------

int CCaricamento::ImpostaInterfaccia(int portaNuova, int tipo, int remoto, int valoreNuovo,
                                     std::string_view, std::string_view, std::string_view,
                                     std::string_view) {
  porta = portaNuova;
  tipoInterfaccia = tipo;
  DaiDispositivoChiave();
  RegistraValore("impostazione parametri connessione interfaccia %d", tipo);
  modo = (tipo == INTERFACCIA_MODO_2) ? MODO_2 : (remoto ? MODO_REMOTO : MODO_LOCALE);
  valore = valoreNuovo;
  ScegliInterfaccia();
  return 1;
}

void CCaricamento::ImpostaSveglia(CSveglia* sveglia) {
  intSeriale.ImpostaSveglia(sveglia);
  intPic.ImpostaSveglia(sveglia);
}

void CCaricamento::ImpostaRegistro(std::string_view percorso) {
  ImpostaFileRegistro(percorso);
  load90Fxxx.ImpostaFileRegistro(percorso);
  load90F549Boot.ImpostaFileRegistro(percorso);
  load90F497Boot.ImpostaFileRegistro(percorso);
  load90F345Boot.ImpostaFileRegistro(percorso);
  load96F338Boot.ImpostaFileRegistro(percorso);
  load91F465Boot.ImpostaFileRegistro(percorso);
  loadCheckMicro.ImpostaFileRegistro(percorso);
  load68331.ImpostaFileRegistro(percorso);
  loadMemox.ImpostaFileRegistro(percorso);
  // The tree loader logs too: an entry refused for leaving its directory is named there.
  loadTree.ImpostaFileRegistro(percorso);
}

void CCaricamento::ImpostaDispositiviChiave(CMemoxInterfaccia* usb, CMemoxInterfaccia* parallela) {
  dispositivoUsb = usb;
  dispositivoParallela = parallela;
  DaiDispositivoChiave();
}

void CCaricamento::DaiDispositivoChiave() {
  CMemoxInterfaccia* d = nullptr;
  if (tipoInterfaccia == INTERFACCIA_CHIAVE_PARALLELA) d = dispositivoParallela;
  if (tipoInterfaccia == INTERFACCIA_CHIAVE_USB) d = dispositivoUsb;
  if (!d) return;
  intParallela.ImpostaDispositivoChiave(d);
  loadMemox.ImpostaDispositivo(d);
}

CLoadBootstrap& CCaricamento::LoaderBootstrap(int tipoLoad) {
  switch (tipoLoad) {
    case LOAD_90F497_BOOT: return load90F497Boot;
    case LOAD_90F549_BOOT: return load90F549Boot;
    case LOAD_90F345_BOOT: return load90F345Boot;
    case LOAD_96F338_BOOT: return load96F338Boot;
    case LOAD_91F465_BOOT: return load91F465Boot;
    default: return loadCheckMicro;
  }
}

int CCaricamento::ChiaveCapiente(int* esito) {
  *esito = RC_OK;
  if (!TipoChiave(tipoInterfaccia)) return 1;
  if (!intParallela.ApriLinea(porta, 0, 0, esito)) return 0;
  std::vector<std::uint32_t> lunghezze;
  for (int i = 0; i < numModuli; ++i) {
    if (!selezione[static_cast<std::size_t>(i)]) continue;
    const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
    lunghezze.push_back(m.fine - m.inizio + 4);
  }
  const bool basta = CapienzaSufficiente(lunghezze, loadMemox.DimensionePagina(), loadMemox.NumeroPagine(),
                                         loadMemox.VociPerPagina());
  intParallela.ChiudiLinea();
  if (!basta) {
    *esito = RC_KEY_TOO_SMALL;
    return 0;
  }
  return 1;
}

int CCaricamento::ChiaveConContenuto() {
  if (!TipoChiave(tipoInterfaccia)) return 0;
  int esito = RC_OK;
  if (!intParallela.ApriLinea(porta, 0, 0, &esito)) return 0;
  const int conContenuto = loadMemox.ContaFileChiave() > 0 ? 1 : 0;
  intParallela.ChiudiLinea();
  return conContenuto;
}

// --- interfaces and loaders -----------------------------------------------------

void CCaricamento::ScegliInterfaccia() {
  switch (tipoInterfaccia) {
    case INTERFACCIA_CHIAVE_PARALLELA:
    case INTERFACCIA_CHIAVE_USB:
      interfacciaCorrente = &intParallela;
      break;
    case INTERFACCIA_PIC:
      interfacciaCorrente = &intPic;
      break;
    case INTERFACCIA_ALBERO:
      // The file-system interface; it is never opened by the job.
      interfacciaCorrente = &intFileSystem;
      return;
    default:
      interfacciaCorrente = &intSeriale;
      break;
  }
  aperturaPropria = 1;
}

void CCaricamento::InterfacciaPerModulo() {
  const CProgDescr& m = moduli[static_cast<std::size_t>(indiceModulo)];
  if (m.TipoModulo() == MODULO_MMI) {
    if (tipoInterfaccia != INTERFACCIA_ALBERO) tipoPrecedente = tipoInterfaccia;
    tipoInterfaccia = INTERFACCIA_ALBERO;
    RegistraValore("impostazione parametri connessione interfaccia %d", INTERFACCIA_ALBERO);
  } else if (tipoInterfaccia == INTERFACCIA_ALBERO) {
    tipoInterfaccia = tipoPrecedente;
    RegistraValore("impostazione parametri connessione interfaccia %d", tipoInterfaccia);
  }
  ScegliInterfaccia();
}

CLoad* CCaricamento::ScegliLoader(const CProgDescr& modulo) {
  preLoader = nullptr;
  microAtteso = 0xFF;
  loaderCorrente = nullptr;
  switch (tipoInterfaccia) {
    case INTERFACCIA_CHIAVE_PARALLELA:
    case INTERFACCIA_CHIAVE_USB:
      loaderCorrente = &loadMemox;
      return loaderCorrente;
    case INTERFACCIA_PIC:
      loaderCorrente = &loadPic;
      return loaderCorrente;
    case INTERFACCIA_ALBERO:
      loaderCorrente = &loadTree;
      return loaderCorrente;
    default:
      break;
  }
  switch (modulo.TipoLoad()) {
    case LOAD_68331:
      loaderCorrente = &load68331;
      return loaderCorrente;
    case LOAD_90F497_BOOT:
      loaderCorrente = &load90F497Boot;
      return loaderCorrente;
    case LOAD_90F549_BOOT:
      loaderCorrente = &load90F549Boot;
      return loaderCorrente;
    case LOAD_90F345_BOOT:
      loaderCorrente = &load90F345Boot;
      return loaderCorrente;
    case LOAD_96F338_BOOT:
      loaderCorrente = &load96F338Boot;
      return loaderCorrente;
    case LOAD_91F465_BOOT:
      loaderCorrente = &load91F465Boot;
      if (senzaPreverifica) return loaderCorrente;
      // The micro is identified first; the flash is touched only on an 'U'.
      preLoader = &loadCheckMicro;
      microAtteso = kMicro91F465;
      return preLoader;
    default:
      loaderCorrente = &load90Fxxx;
      return loaderCorrente;
  }
}

int CCaricamento::AvviaModulo(int senzaReset, CLoad* loader, int identificato, int* periodoTimer,
                              int* boot, int* esito) {
  const CProgDescr& m = moduli[static_cast<std::size_t>(indiceModulo)];
  loaderAvviato = 0;
  if (!loader) loader = ScegliLoader(m);
  *boot = m.ModuloBoot() ? 1 : 0;
  if (!loader) {
    // No loader of this build writes this module here.
    Registra("errore start");
    *esito = RC_MODULE_TYPE;
    return 0;
  }
  *periodoTimer = loader->PeriodoTimer();

  // A job that began with a packed tree has not opened the port of the
  // modules after it yet.
  if (tipoInterfaccia != INTERFACCIA_ALBERO && !interfacciaAperta && interfacciaCorrente) {
    RegistraValore("velocita' apertura %d bit/s", kVelocitaApertura);
    int codice = RC_PORT_OPEN;
    if (!interfacciaCorrente->ApriLinea(porta, kVelocitaApertura, TipoChiave(tipoInterfaccia) ? 1 : 0, &codice)) {
      Registra("errore apertura interfaccia");
      *esito = codice;
      return 0;
    }
    Registra("interfaccia aperta");
    interfacciaAperta = 1;
  }

  if (modo == MODO_REMOTO && !senzaReset) {
    // A remote connection holds its first module until the link carries it.
    inCorso = 1;
    *esito = RC_OK;
    return 1;
  }

  if (loader == preLoader && loaderCorrente == &load91F465Boot) {
    // The micro check touches the line: the writer's kernel must be there first.
    int codice = RC_OK;
    if (!load91F465Boot.ControllaKernel(&codice)) {
      Registra("errore start");
      *esito = codice;
      return 0;
    }
  }

  loader->ImpostaNome(nomi[static_cast<std::size_t>(indiceModulo)]);
  loader->ImpostaOpzione(opzioneNome);

  const bool bloccato = mutexProgresso.Prendi(kAttesaMutexMs);

  indirizziModulo[0] = m.indirizzo;
  indirizziModulo[1] = m.indirizzoSecondario;
  indirizziModulo[2] = m.indirizzoPredefinito;
  indirizziModulo[3] = m.indirizzoSecondarioPredefinito;
  m.Velocita(velocitaModulo[0], velocitaModulo[1]);

  int opzioni = OPZ_BOOT_UNIVERSALE;
  if (!verificaScrittura) opzioni |= OPZ_SENZA_RILETTURA;
  if (verificaOttimizzata) opzioni |= OPZ_RILETTURA_OTTIMIZZATA;
  if (velocitaFissa) opzioni |= OPZ_VELOCITA_FISSA;
  if (scritturaLenta) opzioni |= OPZ_SCRITTURA_LENTA;
  if (buffer128) opzioni |= OPZ_BUFFER_128;
  if (identificato) opzioni |= OPZ_VIA_BOOT;
  if (modo == MODO_2) opzioni |= OPZ_MODO_2;
  if (soloVerifica) opzioni |= OPZ_SOLO_VERIFICA;

  int codice = RC_OK;
  const int avviato =
      loader->Avvia(percorsoImmagine, m.inizio, m.fine, m.codice, indirizziModulo,
                    TipoModuloPerLoader(m.TipoModulo()), TipoLoadPerLoader(m.TipoLoad()),
                    m.TipoMicro(), interfacciaCorrente, senzaReset, velocitaModulo, opzioni,
                    &codice);
  if (avviato) {
    moduloAvviato = indiceModulo;
    inCorso = 1;
    loaderAvviato = 1;
    *esito = RC_OK;
  } else {
    Registra("errore start");
    *esito = codice;
  }
  if (bloccato) {
    CopiaProgresso();
    mutexProgresso.Rilascia();
  }
  return avviato ? 1 : 0;
}

int CCaricamento::TerminaLoader(CLoad* loader, int* esito) {
  if (!inCorso) {
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  loader->Termina();
  inCorso = 0;
  *esito = RC_OK;
  return 1;
}

void CCaricamento::ChiudiInterfaccia() {
  if (interfacciaCorrente) interfacciaCorrente->ChiudiLinea();
  Registra("chiusura interfaccia");
  if (tipoPrecedente && tipoPrecedente != tipoInterfaccia && aperturaPropria) {
    tipoInterfaccia = tipoPrecedente;
    ScegliInterfaccia();
    if (interfacciaCorrente) interfacciaCorrente->ChiudiLinea();
    Registra("chiusura prima interfaccia");
  }
  aperturaPropria = 0;
  tipoPrecedente = 0;
  interfacciaAperta = 0;
}

bool CCaricamento::SoloBootResidente() const {
  switch (tipoInterfaccia) {
    case INTERFACCIA_CHIAVE_PARALLELA:
    case INTERFACCIA_CHIAVE_USB:
    case INTERFACCIA_PIC:
      return false;
    default:
      break;
  }
  for (int i = 0; i < numModuli; ++i) {
    if (!selezione[static_cast<std::size_t>(i)]) continue;
    const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
    switch (m.TipoLoad()) {
      case LOAD_68331:
      case LOAD_90F497_BOOT:
      case LOAD_90F549_BOOT:
      case LOAD_90F345_BOOT:
      case LOAD_96F338_BOOT:
      case LOAD_91F465_BOOT:
        return false;
      default:
        break;
    }
    // The classes the resident boot writes: programs, data and Prog1.
    const int classe = TipoModuloPerLoader(m.TipoModulo());
    if (classe != 0 && classe != 2 && classe != 6) return false;
  }
  return true;
}

int CCaricamento::PrimoIndirizzoDiverso(std::uint32_t* indirizzo) const {
  if (!diversoTrovato) return 0;
  if (indirizzo) *indirizzo = primoDiverso;
  return 1;
}

int CCaricamento::ProssimoSelezionato(int da) const {
  for (int i = std::max(da, 0); i < numModuli; ++i) {
    if (selezione[static_cast<std::size_t>(i)]) return i;
  }
  return -1;
}

// --- the job ----------------------------------------------------------------------

int CCaricamento::Avvia(int* periodoTimer, int* fase, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (inutilizzabile || !selezioneValida) {
    *esito = RC_FILE_UNLOADABLE;
    return 0;
  }
  if (numModuli == 0) {
    *esito = RC_NO_MODULES;
    return 0;
  }
  if (modo == MODO_REMOTO && qualcunoNonRemotoSel) {
    *esito = RC_REMOTE_NOT_ALLOWED;
    return 0;
  }
  if (modo == MODO_2 && qualcunoBootSel) {
    *esito = RC_FILE_UNLOADABLE;
    return 0;
  }
  const int primo = ProssimoSelezionato(0);
  if (primo < 0) {
    *esito = RC_NO_MODULE_SELECTED;
    return 0;
  }
  diversoTrovato = 0;
  primoDiverso = 0;
  if (soloVerifica && !SoloBootResidente()) {
    // Only the resident boot can be asked to read without writing.
    Registra("verifica: modulo non verificabile");
    *esito = RC_MODULE_TYPE;
    return 0;
  }
  indiceModulo = primo;
  moduloAvviato = 0;
  interfacciaAperta = 0;
  loaderCorrente = nullptr;
  preLoader = nullptr;
  loaderAvviato = 0;
  AggiornaProgresso();

  InterfacciaPerModulo();

  if (tipoInterfaccia != INTERFACCIA_ALBERO) {
    RegistraValore("velocita' apertura %d bit/s", kVelocitaApertura);
    int codice = RC_PORT_OPEN;
    if (!interfacciaCorrente ||
        !interfacciaCorrente->ApriLinea(porta, kVelocitaApertura, TipoChiave(tipoInterfaccia) ? 1 : 0,
                                        &codice)) {
      // An interface this build does not have cannot be opened either.
      Registra("errore apertura interfaccia");
      aperturaPropria = 0;
      tipoPrecedente = 0;
      *esito = codice;
      return 0;
    }
    Registra("interfaccia aperta");
    interfacciaAperta = 1;
  }

  int boot = 0;
  if (!AvviaModulo(modo == MODO_2, nullptr, 0, periodoTimer, &boot, esito)) {
    ChiudiInterfaccia();
    *fase = FaseCorrente() ? FaseCorrente() : ST_FAILED;
    return 0;
  }
  seguenteSenzaReset = boot ? 0 : 1;
  *fase = FaseCorrente();
  return 1;
}

int CCaricamento::Passo(int* aggiorna, int* erroreModulo, int* fase, int* esito) {
  *erroreModulo = 0;
  *aggiorna = 0;
  if (!inCorso) {
    *fase = FaseCorrente();
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  if (preLoader && loaderAvviato) return PassoPreLoader(aggiorna, erroreModulo, fase, esito);
  if (!loaderAvviato || !loaderCorrente) {
    // A remote connection whose first module nothing carries: without a modem
    // link the job cannot go on, and waiting would never end.
    int codice = RC_OK;
    Ferma(&codice);
    *erroreModulo = 1;
    *fase = ST_FAILED;
    *esito = RC_REMOTE_LOAD;
    return 0;
  }

  CLoad* loader = loaderCorrente;
  const int continua = loader->Passo(aggiorna);
  AggiornaProgresso();
  *esito = loader->esito;
  if (continua) {
    *fase = loader->fase;
    return 1;
  }

  if (loader->fase != ST_DONE) {
    if (soloVerifica && loader == &load90Fxxx && loader->esito == RC_FLASH_WRITE &&
        load90Fxxx.PrimoIndirizzoDiverso(&primoDiverso)) {
      diversoTrovato = 1;
    }
    int codice = RC_OK;
    Ferma(&codice);
    *erroreModulo = 1;
    *fase = loader->fase;
    // A loader that stops because a record of the module can no longer be
    // read gives no code of its own; the job must not end looking successful.
    if (*esito == RC_OK) *esito = RC_MODULE_CORRUPT;
    return 0;
  }

  int codice = RC_OK;
  TerminaLoader(loader, &codice);
  const int prossimo = ProssimoSelezionato(indiceModulo + 1);
  if (prossimo < 0) {
    ChiudiInterfaccia();
    *fase = ST_DONE;
    return 0;
  }
  indiceModulo = prossimo;
  Registra("caricamento modulo successivo");
  InterfacciaPerModulo();
  int periodo = 0;
  int boot = 0;
  int risultato = 1;
  if (!AvviaModulo(seguenteSenzaReset, nullptr, 0, &periodo, &boot, esito)) {
    *erroreModulo = 1;
    ChiudiInterfaccia();
    risultato = 0;
  } else {
    seguenteSenzaReset = boot ? 0 : 1;
  }
  *aggiorna = 1;
  *fase = FaseCorrente();
  if (!risultato && (*fase == ST_DONE || *fase == ST_NONE)) *fase = ST_FAILED;
  AggiornaProgresso();
  return risultato;
}

int CCaricamento::PassoPreLoader(int* aggiorna, int* erroreModulo, int* fase, int* esito) {
  CLoad* pre = preLoader;
  const int continua = pre->Passo(aggiorna);
  AggiornaProgresso();
  *esito = pre->esito;
  *fase = pre->fase;
  if (continua) return 1;
  if (pre->fase != ST_DONE) {
    int codice = RC_OK;
    Ferma(&codice);
    *erroreModulo = 1;
    return 0;
  }
  std::uint8_t codiceMicro = kMicroIgnoto;
  bool viaBoot = false;
  loadCheckMicro.CodiceMicro(&codiceMicro, &viaBoot);
  int codice = RC_OK;
  TerminaLoader(pre, &codice);
  preLoader = nullptr;
  const auto fallisci = [&](const char* riga, int c) {
    if (riga) Registra(riga);
    ChiudiInterfaccia();
    *erroreModulo = 1;
    *esito = c;
    *fase = ST_FAILED;
    AggiornaProgresso();
    return 0;
  };
  if (microAtteso != kMicroIgnoto && codiceMicro == kMicroIgnoto) {
    return fallisci("micro scheda non rilevabile", RC_MICRO_UNKNOWN);
  }
  if (codiceMicro != microAtteso) return fallisci("micro non congruente con modulo boot", RC_BOARD_INCOMPATIBLE);
  Registra("caricamento modulo");
  InterfacciaPerModulo();
  if (!loaderCorrente) return fallisci("errore start", RC_MODULE_TYPE);
  int periodo = 0;
  int boot = 0;
  *aggiorna = 1;
  if (!AvviaModulo(seguenteSenzaReset, loaderCorrente, viaBoot ? 1 : 0, &periodo, &boot, esito)) {
    const int c = *esito;
    return fallisci(nullptr, c);
  }
  seguenteSenzaReset = boot ? 0 : 1;
  *fase = FaseCorrente();
  AggiornaProgresso();
  return 1;
}

int CCaricamento::Ferma(int* esito) {
  if (!inCorso) {
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  if (preLoader) {
    preLoader->Termina();
  } else if (loaderCorrente) {
    loaderCorrente->Termina();
  }
  inCorso = 0;
  ChiudiInterfaccia();
  *esito = RC_OK;
  return 1;
}

// --- progress ------------------------------------------------------------------------

void CCaricamento::CopiaProgresso() {
  SProgresso p;
  if (preLoader) {
    p.moduloAvviato = moduloAvviato;
    p.totali = preLoader->byteTotali;
  } else if (loaderCorrente) {
    p.moduloAvviato = moduloAvviato;
    p.totali = loaderCorrente->byteTotali;
    p.fatti = loaderCorrente->byteFatti;
    p.ripetuti = loaderCorrente->byteRipetuti;
    p.secondi = loaderCorrente->tempoUltimo - loaderCorrente->tempoInizio;
  }
  progresso = p;
}

void CCaricamento::AggiornaProgresso() {
  if (!mutexProgresso.Prendi(kAttesaMutexMs)) return;
  CopiaProgresso();
  mutexProgresso.Rilascia();
}

int CCaricamento::Progresso(int* moduloAvviatoOut, int* totali, int* fatti, int* ripetuti,
                            int* secondi) {
  if (!mutexProgresso.Prendi(kAttesaMutexMs)) return 0;
  *moduloAvviatoOut = progresso.moduloAvviato;
  *totali = progresso.totali;
  *fatti = progresso.fatti;
  *ripetuti = progresso.ripetuti;
  *secondi = progresso.secondi;
  mutexProgresso.Rilascia();
  return 1;
}

}  // namespace bricola
