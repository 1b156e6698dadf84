// The window's logic without a display: a fake window records what the
// controller asks it to show and answers its questions from a script.
#include "app/finestra.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <map>

#include "base/esiti.h"
#include "base/testi.h"
#include "tests/app/cartella_prova.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

class FinestraFinta : public CFinestraProc {
 public:
  // What the window shows.
  std::map<int, int> timerVivi;  // id -> period
  std::vector<int> timerCreati;
  bool timerRifiutato = false;
  std::deque<bool> risposte;  // answers to Chiedi, Yes when empty
  std::vector<std::string> domande;
  std::vector<std::string> avvisi;
  std::string stato;
  int beep = 0;
  SComandi comandi;
  std::vector<std::string> recenti;
  std::vector<SRiga> righeMostrate;
  std::string avviso;
  std::vector<std::string> porte;
  int sceltaPorta = -2;
  bool modoCavo = false;
  bool conScelta = false;
  std::string campoFile;
  std::string campoIndirizzo;
  std::string fileDaScegliere;
  std::string cartellaSfoglia = "-";
  std::optional<SStatistiche> statistiche;
  int chiusa = 0;
  // Called when the port list is shown (to send a timer message from inside a tick).
  std::function<void()> durantePorte;

 protected:
  bool CreaTimer(int id, int ms) override {
    if (timerRifiutato && id != kTimerStandard) return false;
    EXPECT_TRUE(timerVivi.empty()) << "a second timer while " << timerVivi.begin()->first << " runs";
    timerVivi[id] = ms;
    timerCreati.push_back(id);
    return true;
  }
  void DistruggiTimer(int id) override { timerVivi.erase(id); }
  bool Chiedi(const std::string& testo, bool) override {
    domande.push_back(testo);
    if (risposte.empty()) return true;
    const bool r = risposte.front();
    risposte.pop_front();
    return r;
  }
  void Avvisa(const std::string& testo) override { avvisi.push_back(testo); }
  void Suona() override { ++beep; }
  void MostraStato(const std::string& t) override { stato = t; }
  void MostraStatistiche(const SStatistiche& s) override { statistiche = s; }
  void MostraComandi(const SComandi& c) override { comandi = c; }
  void MostraFileRecenti(const std::vector<std::string>& v) override {
    recenti = v;
    campoFile = v.empty() ? std::string() : v.front();
  }
  void MostraModuli(const std::vector<SRiga>& r) override { righeMostrate = r; }
  void MostraAvviso(const std::string& t) override { avviso = t; }
  void MostraPorte(const std::vector<std::string>& v, int scelta, bool cavoScelto, bool mostraModo) override {
    porte = v;
    sceltaPorta = scelta;
    modoCavo = cavoScelto;
    conScelta = mostraModo;
    if (durantePorte) durantePorte();
  }
  void MostraIndirizzo(const std::string& t) override { campoIndirizzo = t; }
  void MostraModoVerifica(int) override {}
  std::string TestoFile() override { return campoFile; }
  std::string TestoIndirizzo() override { return campoIndirizzo; }
  std::string ScegliFile(const std::string& cartella) override {
    cartellaSfoglia = cartella;
    return fileDaScegliere;
  }
  void CursoreAttesa(bool) override {}
  void ChiudiFinestra() override { ++chiusa; }
};

// Each test has its own settings file.
class Finestra : public ::testing::Test {
 protected:
  void SetUp() override {
    vecchio = getenv("XDG_CONFIG_HOME") ? getenv("XDG_CONFIG_HOME") : "";
    ::setenv("XDG_CONFIG_HOME", cartella.Percorso().c_str(), 1);
    ImpostaAziendaImpostazioni("Corvanti");
    ImpostaNomeProgramma("bricola");
  }
  void TearDown() override {
    if (vecchio.empty()) ::unsetenv("XDG_CONFIG_HOME");
    else ::setenv("XDG_CONFIG_HOME", vecchio.c_str(), 1);
  }
  void Impostazioni(const std::string& testo) {
    std::filesystem::create_directories(cartella.Percorso() + "/Corvanti");
    std::ofstream(PercorsoImpostazioni()) << testo;
  }
  static void ConPorte(FinestraFinta& f, std::vector<int> com, std::vector<int> lpt) {
    f.sorgentePorte = [com, lpt] {
      MappaPorte m;
      for (int n : com) m.com[n] = "/dev/nessuna" + std::to_string(n);
      for (int n : lpt) m.lpt[n] = "unix:/nessuna" + std::to_string(n);
      return m;
    };
  }
  // Two modules: one named, one without a name (its code's model name shows).
  std::string DueModuli() {
    prova::CImmagine img;
    img.Intestazione({.tipoMicro = 1, .nome = "applicazione"}).Sequenza(0xFC0000, 0x300).Fine(0x0010);
    img.Indirizzo(0x482).Sequenza(0xFD0000, 0x100, 2).Fine(0x0010);
    const std::string p = cartella.File("due.bin");
    img.Scrivi(p);
    return p;
  }

  prova::CartellaProva cartella;
  std::string vecchio;
};

TEST(FileRecentiTesta, HeadRule) {
  struct Caso {
    FileRecenti prima;
    std::string nome;
    FileRecenti dopo;
  } casi[] = {
      {{}, "a", {"a"}},
      {{"a", "b"}, "c", {"c", "a", "b"}},
      // Third entry moves to the top, the first two shift down, the others stay.
      {{"a", "b", "c", "d", "e"}, "c", {"c", "a", "b", "d", "e"}},
      // Compared without case: the new spelling takes the place.
      {{"a", "B.bin", "c"}, "b.BIN", {"b.BIN", "a", "c"}},
      {{"a", "b"}, "a", {"a", "b"}},
      // A full list loses its last entry for a new name.
      {{"1", "2", "3", "4", "5", "6", "7", "8"}, "9", {"9", "1", "2", "3", "4", "5", "6", "7"}},
      {{"1", "2", "3", "4", "5", "6", "7", "8"}, "8", {"8", "1", "2", "3", "4", "5", "6", "7"}},
  };
  for (auto& c : casi) {
    FileRecenti r = c.prima;
    MettiInTesta(r, c.nome);
    EXPECT_EQ(r, c.dopo) << c.nome;
  }
  EXPECT_EQ(VociRecenti({"x", "y"}), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(CartellaDi("/home/t/img/a.bin"), "/home/t/img");
  EXPECT_EQ(CartellaDi("C:\\img\\a.bin"), "C:\\img");
  EXPECT_EQ(CartellaDi("a.bin"), "");
}

TEST(ListaPorte, EntriesAndCodes) {
  CMainProc p;
  p.sorgentePorte = [] {
    MappaPorte m;
    m.com[1] = "/dev/a";
    m.com[3] = "/dev/b";
    m.lpt[1] = "unix:/x";
    m.lpt[2] = "unix:/y";
    return m;
  };
  p.EnumeraPorte();
  EXPECT_EQ(VociPorte(p, true), (std::vector<std::string>{"Com1", "Com3"}));
  EXPECT_EQ(VociPorte(p, false), (std::vector<std::string>{"Usb", "Lpt1", "Lpt2"}));

  struct Caso {
    int codice;
    int voce;
  } casi[] = {{0, 0}, {1, 1}, {7, 1} /* beyond the list: the last one */, {60, 0}, {50, 1}, {51, 2}, {61, -1}, {70, -1}};
  for (auto c : casi) {
    p.codicePorta = c.codice;
    EXPECT_EQ(VoceDelCodice(p), c.voce) << c.codice;
  }
  CodiceDallaVoce(p, true, 1);
  EXPECT_EQ(p.codicePorta, 1);
  CodiceDallaVoce(p, false, 0);
  EXPECT_EQ(p.codicePorta, 60);
  CodiceDallaVoce(p, false, 2);
  EXPECT_EQ(p.codicePorta, 51);
}

TEST(StatoPulsanti, EveryJobState) {
  // Idle: Load as the selection allows, Read on a key port, Boot on a serial one.
  SComandi c = StatoComandi(StatoLavoro::kInattivo, false, true, true);
  EXPECT_TRUE(c.load && c.clear && c.altri && c.gruppoBoot && c.check);
  EXPECT_FALSE(c.read);
  c = StatoComandi(StatoLavoro::kInattivo, true, false, false);
  EXPECT_TRUE(c.read && c.clear && c.altri);
  EXPECT_FALSE(c.load || c.gruppoBoot || c.check);

  struct Caso {
    StatoLavoro stato;
    bool load, read, clear, check, gruppo;
    const char* fermo;  // the button that shows "Stop"
  } casi[] = {
      {StatoLavoro::kCaricamento, true, false, false, false, false, "load"},
      {StatoLavoro::kLettura, false, true, false, false, false, "read"},
      {StatoLavoro::kVerificaBoot, false, false, false, true, true, "check"},
      {StatoLavoro::kCancellaMicro, false, false, true, false, true, "clear"},
      {StatoLavoro::kVerificaMicro, false, false, false, false, true, "micro"},
  };
  for (auto& k : casi) {
    c = StatoComandi(k.stato, true, true, true);
    EXPECT_EQ(c.load, k.load) << k.fermo;
    EXPECT_EQ(c.read, k.read) << k.fermo;
    EXPECT_EQ(c.clear, k.clear) << k.fermo;
    EXPECT_EQ(c.check, k.check) << k.fermo;
    EXPECT_EQ(c.gruppoBoot, k.gruppo) << k.fermo;
    EXPECT_FALSE(c.altri) << k.fermo;
    const std::string f = k.fermo;
    EXPECT_EQ(c.testoLoad, f == "load" ? "Stop" : "Load");
    EXPECT_EQ(c.testoRead, f == "read" ? "Stop" : "Read");
    EXPECT_EQ(c.testoClear, f == "clear" ? "Stop" : "Clear");
    EXPECT_EQ(c.testoCheck, f == "check" ? "Stop" : "Check");
    EXPECT_EQ(c.testoMicro, f == "micro" ? "Stop" : "Micro");
  }
}

TEST(Statistiche, FieldsSpeedAndBar) {
  int ultimi = -1;
  SStatistiche s = CalcolaStatistiche(0, 200000, 0, 0, 0, ultimi);
  EXPECT_EQ(s.velocita, "0 ");  // the first second shows 0
  EXPECT_EQ(s.scala, 4);
  EXPECT_EQ(s.massimo, 50000);
  EXPECT_EQ(s.progressivo, "1");
  s = CalcolaStatistiche(1, 200000, 120000, 7, 3725, ultimi);
  EXPECT_EQ(s.tempo, "01:02:05 ");
  EXPECT_EQ(s.complessivi, "200000 ");
  EXPECT_EQ(s.trasferiti, "120000 ");
  EXPECT_EQ(s.rimanenti, "80000 ");
  EXPECT_EQ(s.ritrasmessi, "7 ");
  EXPECT_EQ(s.velocita, "32 ");
  EXPECT_EQ(s.posizione, 30000);
  EXPECT_EQ(s.progressivo, "2");
  // The same second again: the speed is left as it was.
  s = CalcolaStatistiche(1, 200000, 130000, 7, 3725, ultimi);
  EXPECT_FALSE(s.velocita.has_value());
  s = CalcolaStatistiche(-1, 65535, 10, 0, 1, ultimi);
  EXPECT_EQ(s.scala, 1);
  EXPECT_EQ(s.massimo, 65535);
  EXPECT_FALSE(s.progressivo.has_value());
}

TEST(ClasseModulo, Names) {
  const char* attesi[] = {"Prog", "Boot", "Data", "Setup", "Stat", "Exp", "Prog1", "Eva", "????", "Mmi", "????"};
  for (int i = 0; i <= 10; ++i) EXPECT_STREQ(NomeClasseModulo(i), attesi[i]) << i;
}

TEST_F(Finestra, NoComPortHidesModesAndTurnsSerialCodeInto50) {
  Impostazioni("[Settings]\nPorta=3\n");
  FinestraFinta f;
  ConPorte(f, {}, {1});
  f.Inizializza({});
  EXPECT_FALSE(f.conScelta);
  EXPECT_FALSE(f.modoCavo);
  EXPECT_EQ(f.porte, (std::vector<std::string>{"Usb", "Lpt1"}));
  EXPECT_EQ(f.codicePorta, 50);
  EXPECT_EQ(f.sceltaPorta, 1);
  EXPECT_FALSE(f.comandi.gruppoBoot);
  EXPECT_TRUE(f.comandi.read);
  // The standard timer runs from the start.
  EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
  EXPECT_EQ(f.timerVivi.at(kTimerStandard), 5000);
  f.Termina();
  EXPECT_TRUE(f.timerVivi.empty());
  EXPECT_EQ(LeggiImpostazioneIntero("Porta", 0), 50);
}

TEST_F(Finestra, PicPortSelectsNoEntryAndClearSaysInternalError) {
  Impostazioni("[Settings]\nPorta=61\n");
  FinestraFinta f;
  ConPorte(f, {1}, {1});
  f.Inizializza({});
  EXPECT_TRUE(f.conScelta);
  EXPECT_FALSE(f.modoCavo);
  EXPECT_EQ(f.sceltaPorta, -1);
  f.PremiClear();
  EXPECT_EQ(f.stato, Testo(267));
  ASSERT_EQ(f.avvisi.size(), 1u);
  EXPECT_EQ(f.avvisi[0], Testo(267));
}

TEST_F(Finestra, FirstRunAndUnchangedRunWriteNothing) {
  FinestraFinta f;
  ConPorte(f, {1, 2}, {});
  f.Inizializza({});
  EXPECT_EQ(f.codicePorta, 0);
  EXPECT_TRUE(f.recenti.empty());
  EXPECT_EQ(f.campoIndirizzo, "");
  EXPECT_TRUE(f.modoCavo);
  EXPECT_EQ(f.porte, (std::vector<std::string>{"Com1", "Com2"}));
  f.Termina();
  EXPECT_FALSE(std::filesystem::exists(PercorsoImpostazioni()));
}

TEST_F(Finestra, AnotherPortWritesOnlyPorta) {
  Impostazioni("[Settings]\nPorta=0\nFile=/x/a.bin\nIndirizzo CAN=100\n");
  {
    FinestraFinta f;
    ConPorte(f, {1, 2}, {1});
    f.Inizializza({});
    EXPECT_EQ(f.campoIndirizzo, "100");
    f.PortaScelta(1);
    EXPECT_EQ(f.codicePorta, 1);
    f.PremiMemox();
    EXPECT_EQ(f.porte, (std::vector<std::string>{"Usb", "Lpt1"}));
    EXPECT_EQ(f.codicePorta, 60);
    f.PortaScelta(1);
    EXPECT_EQ(f.codicePorta, 50);
    f.Termina();
  }
  const std::string testo = prova::LeggiTutto(PercorsoImpostazioni());
  EXPECT_NE(testo.find("Porta=50"), std::string::npos) << testo;
  EXPECT_NE(testo.find("File=/x/a.bin"), std::string::npos) << testo;
  EXPECT_EQ(testo.find("File1"), std::string::npos) << testo;
}

TEST_F(Finestra, ModuleListKeepsTicksForTheSameFile) {
  const std::string file = DueModuli();
  Impostazioni("[Settings]\nFile=" + file + "\n");
  FinestraFinta f;
  ConPorte(f, {1}, {});
  f.Inizializza({});
  ASSERT_EQ(f.righeMostrate.size(), 2u);
  EXPECT_EQ(f.righeMostrate[0].testi[1], "1");
  EXPECT_EQ(f.righeMostrate[0].testi[2], "applicazione");
  EXPECT_EQ(f.righeMostrate[0].testi[3], "Prog");
  EXPECT_EQ(f.righeMostrate[0].testi[4], "768");
  EXPECT_EQ(f.righeMostrate[0].testi[5], "0010");
  EXPECT_EQ(f.righeMostrate[0].testi[6], "");
  EXPECT_EQ(f.righeMostrate[1].testi[6], "482");
  // No name of its own: the model name of its code.
  EXPECT_FALSE(f.righeMostrate[1].testi[2].empty());
  EXPECT_NE(f.righeMostrate[1].testi[2], "applicazione");
  EXPECT_TRUE(f.righeMostrate[0].spunta && f.righeMostrate[1].spunta);
  EXPECT_TRUE(f.comandi.load);

  // A press on the text does nothing; on the tick it toggles.
  f.CliccaRiga(0, false);
  EXPECT_TRUE(f.Righe()[0].spunta);
  f.CliccaRiga(0, true);
  EXPECT_FALSE(f.Righe()[0].spunta);
  // Choosing the same file (another case) again keeps the user's tick.
  f.campoFile = file;
  f.FileScelto();
  EXPECT_FALSE(f.Righe()[0].spunta);
  EXPECT_TRUE(f.Righe()[1].spunta);
  f.SpuntaTutti(false);
  EXPECT_FALSE(f.Righe()[0].spunta || f.Righe()[1].spunta);
  f.SpuntaTutti(true);
  EXPECT_TRUE(f.Righe()[0].spunta && f.Righe()[1].spunta);
}

TEST_F(Finestra, FiveWireWarningForATickedBootModuleOnASerialPort) {
  prova::CImmagine img;
  img.Intestazione(prova::IntestazionePerTipoLoad(1, "boot")).Sequenza(0xFFC000, 0x100).Fine(0x0010);
  const std::string file = cartella.File("boot.bin");
  img.Scrivi(file);
  FinestraFinta f;
  ConPorte(f, {1}, {1});
  SAvvioFinestra a;
  a.nomeFile = file;
  f.Inizializza(a);
  ASSERT_EQ(f.righeMostrate.size(), 1u);
  ASSERT_TRUE(f.Righe()[0].spunta);
  EXPECT_EQ(f.avviso, Testo(308));
  f.CliccaRiga(0, true);
  EXPECT_EQ(f.avviso, "");
  f.CliccaRiga(0, true);
  EXPECT_EQ(f.avviso, Testo(308));
  // Not on a key port.
  f.PremiMemox();
  EXPECT_EQ(f.avviso, "");
  f.PremiCavo();
  EXPECT_EQ(f.avviso, Testo(308));
}

TEST_F(Finestra, LowerCaseDirIsAFileAndDirIsTheKeyListing) {
  FinestraFinta f;
  ConPorte(f, {1}, {1});
  ::chdir(cartella.Percorso().c_str());
  f.Inizializza({});
  f.campoFile = "dir";
  f.FileScelto();
  EXPECT_FALSE(f.ElencoChiave());
  ASSERT_EQ(f.righeMostrate.size(), 1u);
  EXPECT_EQ(f.righeMostrate[0].testi[2], Testo(305));
  f.campoFile = "DIR";
  f.FileScelto();
  EXPECT_TRUE(f.ElencoChiave());
  EXPECT_FALSE(f.comandi.load);
  // The recent files compare names without case: "DIR" takes the place of "dir".
  EXPECT_EQ(f.Recenti()[0], "DIR");
  EXPECT_EQ(f.Recenti()[1], "");
}

TEST_F(Finestra, CorruptAndMissingFilesGiveOneReasonRow) {
  const std::string rotto = cartella.File("rotto.bin");
  std::ofstream(rotto) << "not an image";
  FinestraFinta f;
  ConPorte(f, {1}, {});
  SAvvioFinestra a;
  a.nomeFile = rotto;
  f.Inizializza(a);
  ASSERT_EQ(f.righeMostrate.size(), 1u);
  EXPECT_EQ(f.righeMostrate[0].testi[2], Testo(275));
  EXPECT_FALSE(f.righeMostrate[0].spunta);
  EXPECT_FALSE(f.comandi.load);
}

TEST_F(Finestra, StartFailureShowsTheCodeAndKeepsTheStandardTimer) {
  FinestraFinta f;
  ConPorte(f, {1}, {});
  SAvvioFinestra a;
  a.nomeFile = cartella.File("manca.bin");
  f.Inizializza(a);
  f.PremiLoad();
  EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
  EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
  ASSERT_FALSE(f.avvisi.empty());
  EXPECT_EQ(f.avvisi.back(), f.stato);
  // A boot check on a port with nothing behind it cannot open it.
  f.PremiCheck();
  EXPECT_EQ(f.stato, TestoDiEsito(RC_PORT_OPEN));
  EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
}

TEST_F(Finestra, BrowseStartsInTheHeadsFolderAndLoadsTheChoice) {
  const std::string file = DueModuli();
  FinestraFinta f;
  ConPorte(f, {1}, {});
  f.Inizializza({});
  f.campoFile = cartella.File("altro.bin");
  f.fileDaScegliere = file;
  f.Sfoglia();
  EXPECT_EQ(f.cartellaSfoglia, cartella.Percorso());
  EXPECT_EQ(f.Recenti()[0], file);
  EXPECT_EQ(f.Recenti()[1], cartella.File("altro.bin"));
  EXPECT_EQ(f.righeMostrate.size(), 2u);
}

TEST_F(Finestra, PortWatchRefillsOnlyOnACountChangeAndDropsNestedTicks) {
  FinestraFinta f;
  std::vector<int> com = {1, 2};
  f.sorgentePorte = [&com] {
    MappaPorte m;
    for (int n : com) m.com[n] = "/dev/nessuna" + std::to_string(n);
    return m;
  };
  f.Inizializza({});
  int riempimenti = 0;
  f.durantePorte = [&] {
    ++riempimenti;
    EXPECT_TRUE(f.Occupato());
    f.SuTimer(kTimerStandard);  // delivered while the tick is busy: dropped
  };
  com = {1, 5};  // replaced, same count
  f.SuTimer(kTimerStandard);
  EXPECT_EQ(riempimenti, 0);
  com = {1, 2, 5};
  f.SuTimer(kTimerStandard);
  EXPECT_EQ(riempimenti, 1);
  EXPECT_EQ(f.porte, (std::vector<std::string>{"Com1", "Com2", "Com5"}));
  EXPECT_FALSE(f.Occupato());
  f.SuTimer(99);  // unknown timer
  EXPECT_EQ(riempimenti, 1);
}

// A running job (a boot check on a pseudo-terminal that never answers):
// the one-timer rule, the close request and the stop.
TEST_F(Finestra, RunningJobOwnsTheTimerAndCloseStopsItFirst) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  Impostazioni(std::string("[Ports]\nCOM1=") + ::ptsname(master) + "\n");
  {
    FinestraFinta f;
    f.sorgentePorte = [] { return ComponiMappaPorte(LeggiPorteImpostate(PercorsoImpostazioni()), {}); };
    f.Inizializza({});
    f.campoIndirizzo = "zz";  // unreadable: the local board
    f.PremiCheck();
    ASSERT_EQ(f.Stato(), StatoLavoro::kVerificaBoot) << f.stato;
    EXPECT_EQ(f.TimerAttivo(), kTimerVerificaBoot);
    EXPECT_EQ(f.timerVivi.size(), 1u);
    EXPECT_EQ(f.comandi.testoCheck, "Stop");
    EXPECT_FALSE(f.comandi.altri);
    // Another job's button does nothing meanwhile.
    f.PremiLoad();
    EXPECT_EQ(f.Stato(), StatoLavoro::kVerificaBoot);
    // The close request asks first: No keeps the job.
    f.risposte = {false};
    EXPECT_FALSE(f.RichiestaChiusura());
    EXPECT_EQ(f.Stato(), StatoLavoro::kVerificaBoot);
    f.risposte = {true};
    EXPECT_TRUE(f.RichiestaChiusura());
    EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
    EXPECT_EQ(f.stato, Testo(259));
    EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
    EXPECT_EQ(f.verificaBoot.InCorso(), 0);
    f.Termina();
  }
  ::close(master);
}

TEST_F(Finestra, TimerThatCannotBeCreatedStopsTheJob) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  Impostazioni(std::string("[Ports]\nCOM1=") + ::ptsname(master) + "\n");
  {
    FinestraFinta f;
    f.sorgentePorte = [] { return ComponiMappaPorte(LeggiPorteImpostate(PercorsoImpostazioni()), {}); };
    f.Inizializza({});
    f.timerRifiutato = true;
    f.PremiCheck();
    EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
    EXPECT_EQ(f.stato, TestoDiEsito(RC_TIMER_CREATE));
    EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
    EXPECT_EQ(f.verificaBoot.InCorso(), 0);
    f.Termina();
  }
  ::close(master);
}

TEST_F(Finestra, MicroEraseAsksTwiceAndCancelChangesNothing) {
  FinestraFinta f;
  ConPorte(f, {1}, {});
  f.Inizializza({});
  f.risposte = {true, false};
  f.PremiClear();
  ASSERT_EQ(f.domande.size(), 2u);
  EXPECT_EQ(f.domande[0], Testo(381));
  EXPECT_EQ(f.domande[1], Testo(372));
  EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
  EXPECT_TRUE(f.avvisi.empty());
}

TEST_F(Finestra, EnglishTexts) {
  Impostazioni("[Settings]\nLingua=en\n");
  FinestraFinta f;
  EXPECT_EQ(f.lingua, kInglese);
  EXPECT_EQ(f.T(287), Testo(287 + kInglese));
}

}  // namespace
}  // namespace bricola
