#include "jobs/lettura.h"

#include <algorithm>

#include "base/esiti.h"
#include "image/modelli.h"

namespace bricola {

CLettura::CLettura() { fileMemox.ImpostaMemox(&loadMemox.Memox()); }

CLettura::~CLettura() {
  int esito = 0;
  Ferma(&esito);
}

void CLettura::DaiDispositivo() {
  CMemoxInterfaccia* d = usb ? dispositivoUsb : dispositivoParallela;
  intParallela.ImpostaDispositivoChiave(d);
  loadMemox.ImpostaDispositivo(d);
}

int CLettura::ImpostaInterfaccia(int portaNuova, int usbNuovo) {
  porta = portaNuova;
  usb = usbNuovo ? 1 : 0;
  DaiDispositivo();
  return 1;
}

void CLettura::ImpostaRegistro(const std::string& percorso) {
  ImpostaFileRegistro(percorso);
  loadMemox.ImpostaFileRegistro(percorso);
}

void CLettura::ImpostaDispositiviChiave(CMemoxInterfaccia* usbNuovo, CMemoxInterfaccia* parallela) {
  dispositivoUsb = usbNuovo;
  dispositivoParallela = parallela;
  DaiDispositivo();
}

int CLettura::ScansioneContenuto(int* conteggio, int* esito) {
  numeroFile = loadMemox.ContaFileChiave();
  *esito = RC_OK;
  if (numeroFile == 0) {
    *conteggio = 0;
    return 1;
  }
  analisi.ImpostaVerificaCrc(false);
  analisi.ImpostaSorgente(true, &fileMemox);
  int riempiti = 0;
  bool ok = true;
  const int slot = std::min(loadMemox.SlotFile(), CMemox::kMaxVoci);
  for (int i = 0; i < slot && riempiti < kMaxModuli; ++i) {
    if (!loadMemox.FileValido(i)) continue;
    int n = 0, tuttiValidi = 0, inutilizzabile = 0, grezzo = 0, errore = 0;
    const int r = analisi.AnalizzaFile(std::to_string(i), moduli.data() + riempiti, kMaxModuli - riempiti, n,
                                       tuttiValidi, inutilizzabile, grezzo, errore);
    if (!r) {
      Registra("ScansioneContenutoFile su chiave fallito");
      *esito = errore == ERRORE_APERTURA ? RC_FILE_OPEN
               : (errore >= 2 && errore <= ERRORE_SELETTORE) ? RC_FILE_CORRUPT
                                                             : RC_INTERNAL;
      ok = false;
      break;
    }
    riempiti += std::clamp(n, 0, kMaxModuli - riempiti);
  }
  analisi.ImpostaSorgente(false);
  analisi.ImpostaVerificaCrc(true);
  selezione.fill(0);
  if (ok) {
    for (int i = 0; i < riempiti; ++i) {
      const CProgDescr& m = moduli[static_cast<std::size_t>(i)];
      selezione[static_cast<std::size_t>(i)] = (m.stato != STATO_VALIDO || m.NonSelezionato()) ? 0 : 1;
    }
  }
  *conteggio = ok ? riempiti : 0;
  return ok ? 1 : 0;
}

int CLettura::LeggiContenuto(int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!intParallela.ApriLinea(porta, 0, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  int conteggio = 0;
  const int r = ScansioneContenuto(&conteggio, esito);
  moduliElencati = conteggio;
  intParallela.ChiudiLinea();
  Registra("interfaccia chiusa");
  return r;
}

int CLettura::CancellaChiave(int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!intParallela.ApriLinea(porta, 0, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  const int r = loadMemox.SvuotaChiave(esito);
  if (!r) Registra("errore cancellazione chiave");
  intParallela.ChiudiLinea();
  return r;
}

int CLettura::CancellaTuttaChiave(int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!intParallela.CancellaTuttaChiave()) {
    *esito = RC_KEY_ERASE;
    return 0;
  }
  *esito = RC_OK;
  return 1;
}

int CLettura::InfoModulo(int i, SInfoModulo& info, int* esito, int capacitaNome) const {
  if (i < 0 || i >= moduliElencati) {
    *esito = RC_NO_SUCH_MODULE;
    return 0;
  }
  const auto k = static_cast<std::size_t>(i);
  return CompilaInfoModulo(moduli[k], selezione[k], lingua, info, esito, capacitaNome);
}

int CLettura::InfoModulo(int i, SInfoModulo& info, std::string& descrizione, int* esito, int capacitaNome) const {
  if (!InfoModulo(i, info, esito, capacitaNome)) return 0;
  descrizione = moduli[static_cast<std::size_t>(i)].descrizione.value_or(std::string());
  return 1;
}

int CLettura::SelezionaModuli(const int* flags, int conteggio) {
  if (conteggio < 0 || conteggio > kMaxModuli) return 0;
  selezione.fill(0);
  for (int i = 0; i < conteggio; ++i) selezione[static_cast<std::size_t>(i)] = flags[i];
  return 1;
}

int CLettura::Prossimo(int da) const {
  int i = da;
  if (soloSelezionati) {
    while (i < numeroFile && (i >= kMaxModuli || !selezione[static_cast<std::size_t>(i)])) ++i;
  }
  return i;
}

int CLettura::Avvia(const std::string& percorso, int primo, int modo, int* periodoTimer, int* fase, int* esito) {
  if (inCorso) {
    *esito = RC_ALREADY_RUNNING;
    return 0;
  }
  if (!intParallela.ApriLinea(porta, 0, 0, esito)) {
    Registra("errore apertura interfaccia");
    return 0;
  }
  Registra("interfaccia aperta");
  const auto chiudi = [&](const char* riga, int codice) {
    if (riga) Registra(riga);
    intParallela.ChiudiLinea();
    Registra("interfaccia chiusa");
    *esito = codice;
    return 0;
  };
  int codice = RC_OK;
  if (!loadMemox.PreparaLettura(percorso, &codice)) {
    return chiudi("errore lettura direttorio o creazione file", codice);
  }
  fileDisco = percorso;
  numeroFile = loadMemox.FileSullaChiave();
  indiceFine = modo ? numeroFile : primo + 1;
  soloSelezionati = modo == 2 ? 1 : 0;
  indice = Prossimo(primo);
  moduloAvviato = indice;
  if (indice == numeroFile) return chiudi("nessun programma selezionato", RC_NO_MODULE_SELECTED);
  if (!loadMemox.AvviaLettura(percorso, indice, &codice)) return chiudi("errore apertura file", codice);
  inCorso = 1;
  *periodoTimer = loadMemox.PeriodoTimer();
  *fase = loadMemox.fase;
  *esito = RC_OK;
  return 1;
}

int CLettura::Passo(int* aggiorna, int* erroreModulo, int* fase, int* esito) {
  *erroreModulo = 0;
  if (!inCorso) {
    *fase = loadMemox.fase;
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  if (loadMemox.PassoLettura(aggiorna)) {
    *fase = ST_LINKED;
    *esito = RC_OK;
    return 1;
  }
  if (loadMemox.fase != ST_DONE) {
    const int faseFile = loadMemox.fase;
    *esito = loadMemox.esito;
    int ignorato = 0;
    Ferma(&ignorato);
    *erroreModulo = 1;
    *fase = faseFile;
    return 0;
  }
  indice = Prossimo(indice + 1);
  if (indice >= indiceFine || indice >= numeroFile) {
    int ignorato = 0;
    Ferma(&ignorato);
    *fase = ST_DONE;
    *esito = RC_OK;
    return 0;
  }
  loadMemox.TerminaLettura();
  int codice = RC_OK;
  if (!loadMemox.AvviaLettura(fileDisco, indice, &codice)) {
    Registra("errore inizio lettura modulo");
    const int faseFile = loadMemox.fase;
    // What Ferma does, closing the key once.
    loadMemox.TerminaLettura();
    inCorso = 0;
    intParallela.ChiudiLinea();
    Registra("interfaccia chiusa");
    *erroreModulo = 1;
    *fase = faseFile;
    *esito = codice;
    return 0;
  }
  moduloAvviato = indice;
  *esito = RC_OK;
  *fase = loadMemox.fase;
  if (aggiorna) *aggiorna = 1;
  return 1;
}

int CLettura::Ferma(int* esito) {
  if (!inCorso) {
    *esito = RC_NOT_RUNNING;
    return 0;
  }
  loadMemox.TerminaLettura();
  inCorso = 0;
  intParallela.ChiudiLinea();
  Registra("interfaccia chiusa");
  *esito = RC_OK;
  return 1;
}

int CLettura::Progresso(int* moduloAvviatoOut, int* totali, int* fatti, int* secondi) const {
  *moduloAvviatoOut = moduloAvviato;
  *totali = loadMemox.byteTotali;
  *fatti = loadMemox.byteFatti;
  *secondi = loadMemox.tempoUltimo - loadMemox.tempoInizio;
  return 1;
}

}  // namespace bricola
