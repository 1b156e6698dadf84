#include "app/finestra.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "base/esiti.h"
#include "base/testi.h"
#include "image/analisi.h"
#include "image/modelli.h"

namespace bricola {

namespace {

constexpr int kStatCaricamento = 0;
constexpr int kStatLettura = 1;
constexpr int kStatCancellazione = 2;
constexpr int kClasseCorrotta = 8;

std::string Formato(const char* formato, long valore) {
  char testo[64];
  std::snprintf(testo, sizeof testo, formato, valore);
  return testo;
}

bool Utf8Valido(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int seguito = 0;
    if (c < 0x80) seguito = 0;
    else if ((c & 0xE0) == 0xC0 && c >= 0xC2) seguito = 1;
    else if ((c & 0xF0) == 0xE0) seguito = 2;
    else if ((c & 0xF8) == 0xF0 && c <= 0xF4) seguito = 3;
    else return false;
    if (seguito > 0 && i + seguito >= s.size()) return false;
    for (int k = 1; k <= seguito; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += seguito + 1;
  }
  return true;
}

// Module names are stored one byte per character; show them as UTF-8.
std::string TestoVisibile(const std::string& s) {
  if (Utf8Valido(s)) return s;
  std::string u;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      u += ch;
    } else {
      u += static_cast<char>(0xC0 | (c >> 6));
      u += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return u;
}

std::string Pulito(const std::string& s) {
  std::size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return s.substr(a, b - a);
}

// The whole text read as a number in base `base`; nullopt when it is not one.
std::optional<long> Numero(const std::string& testo, int base) {
  const std::string t = Pulito(testo);
  if (t.empty()) return std::nullopt;
  char* fine = nullptr;
  const long v = std::strtol(t.c_str(), &fine, base);
  if (fine == t.c_str() || *fine != '\0') return std::nullopt;
  return v;
}

bool FileEsistente(const std::string& percorso) {
  std::ifstream f(percorso, std::ios::binary);
  return f.good();
}

bool TestoMostrabile(const std::string& t) { return !t.empty() && t != " "; }

}  // namespace

void MettiInTesta(FileRecenti& recenti, const std::string& nome) {
  std::string portato = nome;
  for (auto& voce : recenti) {
    if (voce.empty() || StessoFile(voce, nome)) {
      voce = portato;
      return;
    }
    std::swap(portato, voce);
  }
}

std::vector<std::string> VociRecenti(const FileRecenti& recenti) {
  std::vector<std::string> voci;
  for (const auto& v : recenti) {
    if (!v.empty()) voci.push_back(v);
  }
  return voci;
}

std::string CartellaDi(const std::string& percorso) {
  const auto p = percorso.find_last_of("/\\");
  if (p == std::string::npos) return {};
  return percorso.substr(0, p == 0 ? 1 : p);
}

const char* NomeClasseModulo(int tipoModulo) {
  switch (tipoModulo) {
    case 0: return "Prog";
    case 1: return "Boot";
    case 2: return "Data";
    case 3: return "Setup";
    case 4: return "Stat";
    case 5: return "Exp";
    case 6: return "Prog1";
    case 7: return "Eva";
    case 9: return "Mmi";
    default: return "????";
  }
}

bool StessoFile(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::vector<std::string> VociPorte(const CMainProc& porte, bool cavo) {
  std::vector<std::string> voci;
  if (cavo) {
    for (int i = 0; i < porte.numeroCom; ++i) voci.push_back(Formato("Com%d", porte.porteCom[i]));
  } else {
    voci.push_back("Usb");
    for (int i = 0; i < porte.numeroLpt; ++i) voci.push_back(Formato("Lpt%d", porte.porteLpt[i]));
  }
  return voci;
}

int VoceDelCodice(CMainProc& porte) {
  if (porte.Seriale()) {
    porte.LimitaSeriale();
    return porte.codicePorta < porte.numeroCom ? porte.codicePorta : -1;
  }
  if (porte.Usb()) return 0;
  if (porte.Parallela()) {
    const int voce = porte.codicePorta - CMainProc::kCodiceLpt + 1;
    return voce <= porte.numeroLpt ? voce : -1;
  }
  return -1;
}

void CodiceDallaVoce(CMainProc& porte, bool cavo, int voce) {
  if (voce < 0) voce = 0;
  if (cavo) {
    porte.ImpostaSeriale(voce);
  } else if (voce == 0) {
    porte.ImpostaUsb();
  } else {
    porte.ImpostaParallela(voce - 1);
  }
}

SStatistiche CalcolaStatistiche(int modulo, long totali, long fatti, long ripetuti, int secondi,
                                int& ultimiSecondi) {
  SStatistiche s;
  s.complessivi = Formato("%ld ", totali);
  char tempo[48];
  std::snprintf(tempo, sizeof tempo, "%02d:%02d:%02d ", secondi / 3600, (secondi % 3600) / 60, secondi % 60);
  s.tempo = tempo;
  s.rimanenti = Formato("%ld ", totali - fatti);
  s.ritrasmessi = Formato("%ld ", ripetuti);
  s.trasferiti = Formato("%ld ", fatti);
  if (secondi == 0) {
    s.velocita = "0 ";
    ultimiSecondi = 0;
  } else if (secondi != ultimiSecondi) {
    s.velocita = Formato("%ld ", fatti / secondi);
    ultimiSecondi = secondi;
  }
  if (modulo >= 0) s.progressivo = Formato("%ld", modulo + 1L);
  const long scala = (std::max(totali, 0L) >> 16) + 1;
  s.scala = static_cast<int>(scala);
  s.massimo = static_cast<int>(std::max(totali, 0L) / scala);
  s.posizione = static_cast<int>(std::clamp(fatti, 0L, std::max(totali, 0L)) / scala);
  return s;
}

SComandi StatoComandi(StatoLavoro stato, bool chiave, bool seriale, bool caricabile) {
  SComandi c;
  switch (stato) {
    case StatoLavoro::kInattivo:
      c.load = caricabile;
      c.read = chiave;
      c.clear = true;
      c.check = seriale;
      c.micro = seriale;
      c.altri = true;
      c.gruppoBoot = seriale;
      break;
    case StatoLavoro::kCaricamento:
      c.testoLoad = "Stop";
      c.load = true;
      break;
    case StatoLavoro::kLettura:
      c.testoRead = "Stop";
      c.read = true;
      break;
    case StatoLavoro::kVerificaBoot:
      c.testoCheck = "Stop";
      c.check = true;
      c.gruppoBoot = true;
      break;
    case StatoLavoro::kCancellaMicro:
      c.testoClear = "Stop";
      c.clear = true;
      c.gruppoBoot = true;
      break;
    case StatoLavoro::kVerificaMicro:
      c.testoMicro = "Stop";
      c.micro = true;
      c.gruppoBoot = true;
      break;
  }
  return c;
}

// ---------------------------------------------------------------------------

CFinestraProc::CFinestraProc() {
  std::string l = LeggiImpostazioneStringa("Lingua", "");
  std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return std::tolower(c); });
  lingua = (l == "en") ? kInglese : kItaliano;
  // Every serial job wakes the window's tick early; the key jobs have no
  // receive thread and keep their 1 ms period.
  caricamento.ImpostaSveglia(&sveglia);
  verificaBoot.ImpostaSveglia(&sveglia);
  verificaMicro.ImpostaSveglia(&sveglia);
  cancellaMicro.ImpostaSveglia(&sveglia);
  sveglia.ImpostaAvviso([this] { PassoPronto(); });
}

CFinestraProc::~CFinestraProc() { FermaAvvisi(); }

std::string CFinestraProc::T(int id) const {
  const char* t = Testo(id + lingua);
  if (lingua != kItaliano && (t == nullptr || *t == '\0')) t = Testo(id);
  return t ? t : "";
}

void CFinestraProc::Inizializza(const SAvvioFinestra& a) {
  avvio = a;
  EnumeraPorte();
  ImpostaFileRegistro(avvio.percorsoRegistro);
  caricamento.ImpostaRegistro(avvio.percorsoRegistro);
  verificaBoot.ImpostaRegistro(avvio.percorsoRegistro);
  verificaMicro.ImpostaRegistro(avvio.percorsoRegistro);
  cancellaMicro.ImpostaRegistro(avvio.percorsoRegistro);
  lettura.ImpostaRegistro(avvio.percorsoRegistro);
  impostazioni.Leggi();
  impostazioniIniziali = impostazioni;
  ScegliPorta(avvio.portaTesto, impostazioni.porta);
  MostraIndirizzo(impostazioni.indirizzoCan);

  sceltaModo = numeroCom > 0;
  if (!sceltaModo && Seriale()) codicePorta = kCodiceLpt;
  cavo = Seriale();
  RiempiPorte();

  modoVerifica = 1;
  MostraModoVerifica(modoVerifica);
  if (!avvio.nomeFile.empty()) FileInTesta(avvio.nomeFile);
  RiempiRecenti();
  CostruisciElenco(impostazioni.fileRecenti[0]);
  inizializzata = true;

  if (avvio.caricaSubito) {
    PremiLoad();
  } else if (avvio.leggiSubito) {
    PremiRead();
  } else if (avvio.cancellaChiave) {
    PremiClear();
  }
  if (timerAttivo == 0 && CreaTimer(kTimerStandard, kPeriodoStandard)) timerAttivo = kTimerStandard;
}

void CFinestraProc::Termina() {
  if (terminata) return;
  terminata = true;
  if (stato != StatoLavoro::kInattivo) {
    FermaOperazione(stato);
    stato = StatoLavoro::kInattivo;
    Registra("stop");
  }
  if (timerAttivo != 0) {
    Registra("timer distrutto");
    DistruggiTimer(timerAttivo);
    timerAttivo = 0;
  }
  if (!inizializzata) return;
  impostazioni.porta = codicePorta;
  impostazioni.indirizzoCan = TestoIndirizzo();
  impostazioni.ScriviCambiati(impostazioniIniziali);
}

// --- timers -----------------------------------------------------------------

bool CFinestraProc::ImpostaTimer(int id, int periodo) {
  if (timerAttivo != 0) {
    Registra("timer distrutto");
    DistruggiTimer(timerAttivo);
    timerAttivo = 0;
  }
  if (CreaTimer(id, periodo)) {
    timerAttivo = id;
    periodoTimer = periodo;
  }
  return timerAttivo != 0;
}

void CFinestraProc::RipristinaTimerStandard() {
  Registra("timer standard ripristinato");
  if (timerAttivo != 0) DistruggiTimer(timerAttivo);
  timerAttivo = CreaTimer(kTimerStandard, kPeriodoStandard) ? kTimerStandard : 0;
}

void CFinestraProc::SuTimer(int id) {
  if (occupato) return;
  if (id == kTimerCaricamento && !caricamento.InCorso()) return;
  // A message of a timer already replaced does nothing.
  if (id != timerAttivo) return;
  occupato = true;
  switch (id) {
    case kTimerCaricamento:
      if (stato == StatoLavoro::kCaricamento) TickCaricamento();
      break;
    case kTimerVerificaBoot:
      if (stato == StatoLavoro::kVerificaBoot) TickVerificaBoot();
      break;
    case kTimerLettura:
      if (stato == StatoLavoro::kLettura) TickLettura();
      break;
    case kTimerVerificaMicro:
      if (stato == StatoLavoro::kVerificaMicro) TickVerificaMicro();
      break;
    case kTimerCancellaMicro:
      if (stato == StatoLavoro::kCancellaMicro) TickCancellaMicro();
      break;
    case kTimerStandard:
      if (stato == StatoLavoro::kInattivo && AggiornaPorte()) {
        cavo = Seriale();
        RiempiPorte();
        AggiornaSelezione();
      }
      break;
    default:
      break;
  }
  occupato = false;
}

void CFinestraProc::SuPassoPronto() {
  if (occupato || timerAttivo == 0 || timerAttivo == kTimerStandard) return;
  // Taken: a step that armed again since then made it stale.
  if (!sveglia.Attendi(0)) return;
  const int id = timerAttivo;
  SuTimer(id);
  // As after every step, the next one comes at most a period later (the
  // timer starts its period again).
  if (timerAttivo == id) CreaTimer(id, periodoTimer);
}

// --- display helpers --------------------------------------------------------

void CFinestraProc::MostraErrore(int codice) {
  const std::string t = TestoDiEsito(codice, lingua);
  MostraStato(t);
  Avvisa(t);
}

void CFinestraProc::AggiornaComandi() {
  MostraComandi(StatoComandi(stato, Chiave(), Seriale(), caricamento.SelezioneValida() != 0 && !elencoChiave));
}

void CFinestraProc::AggiornaSelezione() {
  int flags[kMaxModuli] = {};
  for (std::size_t i = 0; i < righe.size() && i < static_cast<std::size_t>(kMaxModuli); ++i) {
    flags[i] = righe[i].spunta ? 1 : 0;
  }
  caricamento.SelezionaModuli(flags, kMaxModuli);
  MostraAvviso(caricamento.QualcunoBootSel() && Seriale() ? T(308) : std::string());
  if (stato == StatoLavoro::kInattivo) AggiornaComandi();
}

void CFinestraProc::RiempiRecenti() { MostraFileRecenti(VociRecenti(impostazioni.fileRecenti)); }

void CFinestraProc::RiempiPorte() {
  const int scelta = VoceDelCodice(*this);
  MostraPorte(VociPorte(*this, cavo), scelta, cavo, sceltaModo);
}

void CFinestraProc::FileInTesta(const std::string& nome) {
  // An empty field leaves the list as it is.
  if (Pulito(nome).empty()) return;
  MettiInTesta(impostazioni.fileRecenti, nome);
}

void CFinestraProc::CostruisciElenco(const std::string& f) {
  CursoreAttesa(true);
  const bool chiave = NomeElenco(f);
  std::string errore;
  int n = 0;
  if (chiave) {
    n = lettura.ModuliElencati();
  } else {
    int e = 0;
    if (caricamento.Analizza(f, &e)) {
      n = caricamento.NumModuli();
    } else if (e == ERRORE_APERTURA) {
      errore = T(305);
    } else if (e >= 2 && e <= ERRORE_SELETTORE) {
      errore = T(275);
    } else {
      errore = T(267);
    }
  }
  const bool stesso = StessoFile(f, fileElencato) && chiave == elencoChiave;
  elencoChiave = chiave;
  if (!stesso) fileElencato = f;

  std::vector<SRiga> nuove;
  int moduli = 0;
  for (int i = 0; i < n; ++i) {
    SInfoModulo info;
    int esito = 0;
    int dato = 0;
    dato = chiave ? lettura.InfoModulo(i, info, &esito) : caricamento.InfoModulo(i, info, &esito);
    SRiga r;
    r.testi[1] = Formato("%ld", i + 1L);
    if (dato) {
      if (info.tipoModulo == kClasseCorrotta) {
        errore = T(275);
        break;
      }
      r.testi[2] = TestoVisibile(info.nome);
      r.testi[3] = NomeClasseModulo(info.tipoModulo);
      r.testi[4] = Formato("%ld", static_cast<long>(info.lunghezzaDati));
      r.testi[5] = Formato("%04lX", static_cast<long>(info.codice));
      if (info.indirizzo != 0) r.testi[6] = Formato("%03lX", static_cast<long>(info.indirizzo));
      r.spunta = info.selezionato != 0;
    } else {
      r.testi[2] = esito == RC_MODULE_CORRUPT ? T(298) : T(256);
    }
    nuove.push_back(std::move(r));
    ++moduli;
  }
  if (n == 0) {
    SRiga r;
    r.testi[1] = "1";
    r.testi[2] = errore;
    nuove.push_back(std::move(r));
  } else if (!errore.empty()) {
    SRiga r;
    r.testi[1] = Formato("%ld", moduli + 1L);
    r.testi[2] = errore;
    nuove.push_back(std::move(r));
  }
  // The same file with one row per module: the user's ticks stay.
  const bool mantieni = stesso && n > 0 && errore.empty() && righe.size() == static_cast<std::size_t>(n) &&
                        nuove.size() == righe.size();
  if (mantieni) {
    for (std::size_t i = 0; i < nuove.size(); ++i) nuove[i].spunta = righe[i].spunta;
  }
  righe = std::move(nuove);
  MostraModuli(righe);
  AggiornaSelezione();
  CursoreAttesa(false);
}

void CFinestraProc::AggiornaStatistiche(int tipo, bool finale) {
  int modulo = -1, totali = 0, fatti = 0, ripetuti = 0, secondi = 0;
  if (tipo == kStatCaricamento) {
    if (!caricamento.Progresso(&modulo, &totali, &fatti, &ripetuti, &secondi)) return;
    if (finale) fatti = totali;
  } else if (tipo == kStatLettura) {
    lettura.Progresso(&modulo, &totali, &fatti, &secondi);
  } else {
    cancellaMicro.Progresso(&totali, &fatti, &secondi);
    modulo = -1;
  }
  const SStatistiche s = CalcolaStatistiche(modulo, totali, fatti, ripetuti, secondi, ultimiSecondi[tipo]);
  scalaProgresso = s.scala;
  MostraStatistiche(s);
}

// --- starting and stopping ---------------------------------------------------

bool CFinestraProc::AvviaTimerLavoro(int id, int periodo, int fase, StatoLavoro nuovo) {
  if (!ImpostaTimer(id, periodo)) {
    Registra("errore creazione timer");
    FermaOperazione(nuovo);
    RipristinaTimerStandard();
    MostraErrore(RC_TIMER_CREATE);
    return false;
  }
  Registra("timer creato");
  stato = nuovo;
  if (nuovo == StatoLavoro::kCaricamento) AggiornaStatistiche(kStatCaricamento, false);
  if (nuovo == StatoLavoro::kLettura) AggiornaStatistiche(kStatLettura, false);
  if (nuovo == StatoLavoro::kCancellaMicro) AggiornaStatistiche(kStatCancellazione, false);
  AggiornaComandi();
  const std::string t = TestoDiFase(fase, lingua);
  if (TestoMostrabile(t)) MostraStato(t);
  return true;
}

int CFinestraProc::FermaOperazione(StatoLavoro s) {
  int esito = 0;
  switch (s) {
    case StatoLavoro::kCaricamento: caricamento.Ferma(&esito); break;
    case StatoLavoro::kLettura:
      lettura.Ferma(&esito);
      break;
    case StatoLavoro::kVerificaBoot: verificaBoot.Ferma(&esito); break;
    case StatoLavoro::kCancellaMicro: cancellaMicro.Ferma(&esito); break;
    case StatoLavoro::kVerificaMicro: verificaMicro.Ferma(&esito); break;
    case StatoLavoro::kInattivo: break;
  }
  return esito;
}

void CFinestraProc::FermaLavoro() {
  const StatoLavoro s = stato;
  FermaOperazione(s);
  RipristinaTimerStandard();
  if (s == StatoLavoro::kCaricamento) AggiornaStatistiche(kStatCaricamento, false);
  stato = StatoLavoro::kInattivo;
  AggiornaComandi();
  if (s == StatoLavoro::kLettura) CostruisciElenco(impostazioni.fileRecenti[0]);
  MostraStato(T(259));
  Registra("stop");
}

void CFinestraProc::PremiLoad() {
  if (stato == StatoLavoro::kCaricamento) {
    FermaLavoro();
    return;
  }
  if (stato != StatoLavoro::kInattivo) return;
  Registra("start");
  FileInTesta(TestoFile());
  RiempiRecenti();
  CostruisciElenco(impostazioni.fileRecenti[0]);
  // The key listing holds nothing to load.
  if (elencoChiave) return;

  caricamento.ImpostaInterfaccia(NumeroPorta(), TipoInterfaccia(), impostazioni.connessione == 1 ? 1 : 0,
                                 impostazioni.selezione, impostazioni.telefonoMittente,
                                 impostazioni.telefonoDestinatario, impostazioni.passwordConnessione,
                                 impostazioni.passwordBatteria);
  caricamento.verificaScrittura = modoVerifica != 2 ? 1 : 0;
  caricamento.verificaOttimizzata = modoVerifica == 1 ? 1 : 0;
  caricamento.senzaPreverifica = 0;

  int esito = RC_OK;
  if (Chiave()) {
    if (!caricamento.ChiaveCapiente(&esito)) {
      MostraErrore(esito);
      return;
    }
    if (caricamento.ChiaveConContenuto() && !Chiedi(T(355), false)) return;
  }
  int periodo = 0, fase = 0;
  if (!caricamento.Avvia(&periodo, &fase, &esito)) {
    MostraErrore(esito);
    return;
  }
  AvviaTimerLavoro(kTimerCaricamento, periodo, fase, StatoLavoro::kCaricamento);
}

void CFinestraProc::PremiRead() {
  if (stato == StatoLavoro::kLettura) {
    FermaLavoro();
    return;
  }
  if (stato != StatoLavoro::kInattivo) return;
  // A name typed and not yet confirmed counts as chosen.
  const std::string campo = TestoFile();
  if (!Pulito(campo).empty() && campo != impostazioni.fileRecenti[0]) {
    FileInTesta(campo);
    RiempiRecenti();
  }
  const std::string f = impostazioni.fileRecenti[0];
  const bool elenco = NomeElenco(f);
  if (!elenco && !f.empty() && FileEsistente(f) && !Chiedi(T(343), false)) return;
  Registra("start");
  lettura.ImpostaInterfaccia(NumeroPorta(), Usb() ? 1 : 0);
  if (!Chiave()) {
    MostraErrore(RC_PORT_OPEN);
    return;
  }
  int esito = RC_OK;
  if (elenco) {
    if (lettura.LeggiContenuto(&esito)) {
      fileElencato.clear();
      CostruisciElenco(f);
      MostraStato(T(273));
    } else {
      MostraErrore(esito);
    }
    return;
  }
  int periodo = 0, fase = 0;
  if (!lettura.Avvia(f, 0, 1, &periodo, &fase, &esito)) {
    MostraErrore(esito);
    return;
  }
  AvviaTimerLavoro(kTimerLettura, periodo, fase, StatoLavoro::kLettura);
}

void CFinestraProc::PremiClear() {
  if (stato == StatoLavoro::kCancellaMicro) {
    FermaLavoro();
    return;
  }
  if (stato != StatoLavoro::kInattivo) return;
  if (Chiave()) {
    lettura.ImpostaInterfaccia(NumeroPorta(), Usb() ? 1 : 0);
    if (!Chiedi(T(353), false)) return;
    int esito = RC_OK;
    if (!lettura.CancellaChiave(&esito)) MostraErrore(esito);
    return;
  }
  if (Pic()) {
    MostraStato(T(267));
    Avvisa(T(267));
    return;
  }
  if (!Chiedi(T(381), true) || !Chiedi(T(372), true)) return;
  Registra("start cancellazione");
  cancellaMicro.ImpostaPorta(NumeroPorta());
  int periodo = 0, fase = 0, esito = RC_OK;
  if (!cancellaMicro.Avvia(&periodo, &fase, &esito)) {
    MostraErrore(esito);
    return;
  }
  if (!Chiedi(T(373), true)) {
    cancellaMicro.Ferma(&esito);
    return;
  }
  AvviaTimerLavoro(kTimerCancellaMicro, periodo, fase, StatoLavoro::kCancellaMicro);
}

void CFinestraProc::PremiCheck() {
  if (stato == StatoLavoro::kVerificaBoot) {
    FermaLavoro();
    return;
  }
  if (stato != StatoLavoro::kInattivo) return;
  const int indirizzo = static_cast<int>(Numero(TestoIndirizzo(), 16).value_or(-1));
  Registra("start");
  verificaBoot.ImpostaPorta(NumeroPorta());
  if (!Seriale()) {
    MostraErrore(RC_PORT_OPEN);
    return;
  }
  int periodo = 0, fase = 0, esito = RC_OK;
  if (!verificaBoot.Avvia(indirizzo, &periodo, &fase, &esito)) {
    MostraErrore(esito);
    return;
  }
  AvviaTimerLavoro(kTimerVerificaBoot, periodo, fase, StatoLavoro::kVerificaBoot);
}

void CFinestraProc::PremiMicro() {
  if (stato == StatoLavoro::kVerificaMicro) {
    FermaLavoro();
    return;
  }
  if (stato != StatoLavoro::kInattivo) return;
  const long n = Numero(TestoReset(), 10).value_or(0);
  int esito = RC_OK;
  if (n != 0) {
    Registra("start generazione reset");
    verificaMicro.ImpostaPorta(NumeroPorta());
    if (!Seriale()) {
      MostraErrore(RC_PORT_OPEN);
    } else if (!verificaMicro.GeneraReset(ResetConRts() ? 1 : 0, static_cast<int>(n), &esito)) {
      MostraErrore(esito);
    }
    Registra("stop generazione reset");
    return;
  }
  Registra("start");
  verificaMicro.ImpostaPorta(NumeroPorta());
  if (!Seriale()) {
    MostraErrore(RC_PORT_OPEN);
    return;
  }
  int periodo = 0, fase = 0;
  if (!verificaMicro.Avvia(&periodo, &fase, &esito)) {
    MostraErrore(esito);
    return;
  }
  AvviaTimerLavoro(kTimerVerificaMicro, periodo, fase, StatoLavoro::kVerificaMicro);
}

// --- ticks -------------------------------------------------------------------

void CFinestraProc::FineTick(int tipoStatistiche, bool finito, int fase, int esito, std::string testo,
                             bool statistiche, bool conFiltro, int erroreModulo, int numeroModulo,
                             bool chiudibile) {
  const StatoLavoro s = stato;
  bool chiudi = false;
  if (finito) {
    if (fase == ST_DONE) {
      Registra("stop automatico");
      if (s == StatoLavoro::kCaricamento || s == StatoLavoro::kCancellaMicro) statistiche = true;
      chiudi = chiudibile && avvio.esciAllaFine;
    } else {
      testo = TestoDiEsito(esito, lingua);
      Registra("stop");
    }
    RipristinaTimerStandard();
    stato = StatoLavoro::kInattivo;
    AggiornaComandi();
    if (s == StatoLavoro::kLettura) CostruisciElenco(impostazioni.fileRecenti[0]);
    Suona();
  } else {
    testo = TestoDiFase(fase, lingua);
  }
  if (!(conFiltro || !finito) || TestoMostrabile(testo)) MostraStato(testo);
  if (statistiche && tipoStatistiche >= 0) {
    AggiornaStatistiche(tipoStatistiche, finito && fase == ST_DONE && s == StatoLavoro::kCaricamento);
  }
  if (erroreModulo) {
    char prefisso[48];
    std::snprintf(prefisso, sizeof prefisso, "Prog. nr. %d - ", numeroModulo);
    Avvisa(prefisso + testo);
  }
  if (chiudi) ChiudiFinestra();
}

void CFinestraProc::TickCaricamento() {
  int aggiorna = 0, erroreModulo = 0, fase = 0, esito = 0;
  const bool gira = caricamento.Passo(&aggiorna, &erroreModulo, &fase, &esito) != 0;
  FineTick(kStatCaricamento, !gira, fase, esito, gira ? std::string() : T(273), aggiorna != 0, true,
           erroreModulo, caricamento.IndiceModulo() + 1, true);
}

void CFinestraProc::TickLettura() {
  int aggiorna = 0, erroreModulo = 0, fase = 0, esito = 0;
  const bool gira = lettura.Passo(&aggiorna, &erroreModulo, &fase, &esito) != 0;
  FineTick(kStatLettura, !gira, fase, esito, gira ? std::string() : T(273), aggiorna != 0, true, erroreModulo,
           lettura.IndiceCorrente() + 1, true);
}

void CFinestraProc::TickVerificaBoot() {
  int aggiorna = 0, fase = 0, esito = 0;
  std::uint16_t codice = 0;
  std::string versione;
  const bool gira = verificaBoot.Passo(&aggiorna, &fase, &esito, &codice, &versione) != 0;
  std::string testo;
  if (!gira && fase == ST_DONE) {
    std::string modello;
    if (auto nome = NomeDaCodice(0, codice)) modello = " (" + std::string(*nome) + ")";
    char t[256];
    std::snprintf(t, sizeof t, T(332).c_str(), versione.c_str(), static_cast<unsigned>(codice), modello.c_str());
    testo = t;
  }
  FineTick(-1, !gira, fase, esito, testo, false, false, 0, 0, false);
}

void CFinestraProc::TickCancellaMicro() {
  int aggiorna = 0, fase = 0, esito = 0;
  const bool gira = cancellaMicro.Passo(&aggiorna, &fase, &esito) != 0;
  FineTick(kStatCancellazione, !gira, fase, esito, gira ? std::string() : T(374), aggiorna != 0, false, 0, 0,
           false);
}

void CFinestraProc::TickVerificaMicro() {
  int aggiorna = 0, fase = 0, esito = 0;
  std::string nome;
  const bool gira = verificaMicro.Passo(&aggiorna, &fase, &esito, &nome) != 0;
  FineTick(-1, !gira, fase, esito, gira ? std::string() : "Micro " + nome, false, false, 0, 0, false);
}

// --- other commands ----------------------------------------------------------

void CFinestraProc::SpuntaTutti(bool spunta) {
  for (auto& r : righe) r.spunta = spunta;
  MostraModuli(righe);
  AggiornaSelezione();
}

void CFinestraProc::CliccaRiga(int i, bool suTick) {
  if (!suTick || i < 0 || i >= static_cast<int>(righe.size())) return;
  righe[i].spunta = !righe[i].spunta;
  MostraModuli(righe);
  AggiornaSelezione();
}

void CFinestraProc::FileScelto() {
  FileInTesta(TestoFile());
  RiempiRecenti();
  CostruisciElenco(impostazioni.fileRecenti[0]);
}

void CFinestraProc::FuocoFilePerso() {
  if (chiusura) {
    chiusura = false;
    return;
  }
  FileScelto();
}

void CFinestraProc::Sfoglia() {
  FileInTesta(TestoFile());
  RiempiRecenti();
  const std::string scelto = ScegliFile(CartellaDi(impostazioni.fileRecenti[0]));
  if (scelto.empty()) return;
  FileInTesta(scelto);
  RiempiRecenti();
  CostruisciElenco(impostazioni.fileRecenti[0]);
}

void CFinestraProc::PremiCavo() {
  cavo = true;
  MostraPorte(VociPorte(*this, cavo), 0, cavo, sceltaModo);
  CodiceDallaVoce(*this, cavo, 0);
  AggiornaSelezione();
}

void CFinestraProc::PremiMemox() {
  cavo = false;
  MostraPorte(VociPorte(*this, cavo), 0, cavo, sceltaModo);
  CodiceDallaVoce(*this, cavo, 0);
  AggiornaSelezione();
}

void CFinestraProc::PortaScelta(int voce) {
  if (voce < 0) return;
  CodiceDallaVoce(*this, cavo, voce);
  AggiornaSelezione();
}

void CFinestraProc::SceltaModoVerifica(int modo) {
  if (modo >= 0 && modo <= 2) modoVerifica = modo;
}

bool CFinestraProc::RichiestaChiusura() {
  if (stato != StatoLavoro::kInattivo) {
    if (!Chiedi(lingua == kInglese ? "A job is running. Stop it and quit?"
                                   : "Un'operazione è in corso. Interromperla e uscire?",
                false)) {
      return false;
    }
    FermaLavoro();
  }
  chiusura = true;
  return true;
}

}  // namespace bricola
