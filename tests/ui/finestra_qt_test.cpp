// The real window on the offscreen platform, driven with QTest by its
// controls, against bricola-sim over RFC 2217 (COM3 of the settings file).
// Message boxes are answered by a watcher that finds the active modal box.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <chrono>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/impostazioni.h"
#include "base/esiti.h"
#include "base/testi.h"
#include "bootstrap/caricatori_ram.h"
#include "ui/bricola_dlg.h"
#include "ui/desktop.h"
#include "ui/lista_programmi.h"

extern char** environ;

namespace bricola {
namespace {

std::string Esegui(const std::vector<std::string>& argomenti) {
  std::string riga;
  for (const auto& a : argomenti) riga += "'" + a + "' ";
  riga += "2>&1";
  std::string uscita;
  FILE* p = ::popen(riga.c_str(), "r");
  if (!p) return "popen";
  char b[512];
  while (std::fgets(b, sizeof b, p)) uscita += b;
  const int stato = ::pclose(p);
  return stato == 0 ? std::string() : uscita.empty() ? "failed" : uscita;
}

// bricola-sim on 127.0.0.1 with a dump file.
class Simulatore {
 public:
  Simulatore(const std::string& cartella, const std::string& macchina, bool cadenzato) {
    file = cartella + "/machine.json";
    dump = cartella + "/dump.json";
    std::ofstream(file) << macchina;
    int tubo[2];
    if (::pipe(tubo) != 0) return;
    posix_spawn_file_actions_t azioni;
    posix_spawn_file_actions_init(&azioni);
    posix_spawn_file_actions_adddup2(&azioni, tubo[1], 1);
    posix_spawn_file_actions_addclose(&azioni, tubo[0]);
    std::vector<std::string> a = {BRICOLA_SIM, "--listen", "127.0.0.1:0", "--machine", file, "--dump", dump,
                                  "--transcript", cartella + "/transcript.txt"};
    if (cadenzato) a.push_back("--paced");
    std::vector<char*> argv;
    for (auto& s : a) argv.push_back(s.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, BRICOLA_SIM, &azioni, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&azioni);
    ::close(tubo[1]);
    std::string riga;
    char c;
    while (riga.size() < 200 && ::read(tubo[0], &c, 1) == 1 && c != '\n') riga += c;
    ::close(tubo[0]);
    if (std::sscanf(riga.c_str(), "listening on 127.0.0.1:%d", &porta) != 1) porta = 0;
  }
  ~Simulatore() { Ferma(); }
  void Ferma() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int stato = 0;
      ::waitpid(pid, &stato, 0);
      pid = -1;
    }
  }
  // The dump, after the simulator has ended.
  QJsonObject Dump() {
    Ferma();
    QFile f(QString::fromStdString(dump));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
  }
  int porta = 0;
  pid_t pid = -1;
  std::string file, dump;
};

// bricola-sim serving a Memox key on a USB socket (no serial line).
class SimChiave {
 public:
  explicit SimChiave(const std::string& cartella) {
    usb = cartella + "/sim.usb";
    const std::string lpt = cartella + "/sim.lpt";
    const std::string dispositivi = cartella + "/devices.json";
    std::ofstream(dispositivi) << "{\"chiave\": {\"file\": \"" << cartella
                               << "/key.bin\", \"dimensionePagina\": 264, \"numeroPagine\": 4096}}";
    int tubo[2];
    if (::pipe(tubo) != 0) return;
    posix_spawn_file_actions_t azioni;
    posix_spawn_file_actions_init(&azioni);
    posix_spawn_file_actions_adddup2(&azioni, tubo[1], 1);
    posix_spawn_file_actions_addclose(&azioni, tubo[0]);
    std::vector<std::string> a = {BRICOLA_SIM, "--usb", usb, "--lpt", lpt, "--devices", dispositivi};
    std::vector<char*> argv;
    for (auto& x : a) argv.push_back(x.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid, BRICOLA_SIM, &azioni, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&azioni);
    ::close(tubo[1]);
    // Both sockets listen once their two lines are out.
    int righe = 0;
    char c;
    while (righe < 2 && ::read(tubo[0], &c, 1) == 1) righe += c == '\n';
    ::close(tubo[0]);
    pronto = righe == 2;
  }
  ~SimChiave() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      int stato = 0;
      ::waitpid(pid, &stato, 0);
    }
  }
  std::string usb;
  pid_t pid = -1;
  bool pronto = false;
};

std::string Scheda(const std::string& nome, int codice, int can, const std::string& altro = "") {
  char s[512];
  std::snprintf(s, sizeof s,
                "{\"nome\": \"%s\", \"codice\": \"0x%04X\", \"versione\": \"0x68\", \"tipoMicro\": 1, "
                "\"codiceBuffer\": \"0xA0\", \"indirizzoCan\": \"0x%04X\", \"flash\": {\"mappa\": \"M256\"}%s}",
                nome.c_str(), codice, can, altro.c_str());
  return s;
}

// Answers every message box that becomes the active modal window, in order.
class Risponditore {
 public:
  Risponditore() {
    timer.setInterval(20);
    QObject::connect(&timer, &QTimer::timeout, [this] { Guarda(); });
    timer.start();
  }
  std::deque<QMessageBox::StandardButton> risposte;  // Ok/Yes when empty
  std::vector<std::string> testi;
  std::function<void()> allaVista;  // called while each box is up

 private:
  void Guarda() {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) return;
    testi.push_back(box->text().toStdString());
    if (allaVista) allaVista();
    QMessageBox::StandardButton r = QMessageBox::NoButton;
    if (!risposte.empty()) {
      r = risposte.front();
      risposte.pop_front();
    }
    QAbstractButton* b = r != QMessageBox::NoButton ? box->button(r) : nullptr;
    if (!b) b = box->button(QMessageBox::Yes);
    if (!b) b = box->button(QMessageBox::Ok);
    if (b) QTest::mouseClick(b, Qt::LeftButton);
  }
  QTimer timer;
};

class FinestraQt : public ::testing::Test {
 protected:
  void SetUp() override {
    char modello[] = "/tmp/bricola-ui-XXXXXX";
    cartella = ::mkdtemp(modello);
    std::filesystem::create_directories(cartella + "/config/Corvanti");
    ::setenv("XDG_CONFIG_HOME", (cartella + "/config").c_str(), 1);
    ImpostaAziendaImpostazioni("Corvanti");
    ImpostaNomeProgramma("bricola");
  }
  void TearDown() override {
    finestra.reset();
    sim.reset();
    if (!HasFailure()) std::filesystem::remove_all(cartella);
    else std::fprintf(stderr, "test folder kept: %s\n", cartella.c_str());
  }
  std::string Ini() const { return cartella + "/config/Corvanti/bricola.ini"; }
  void AvviaSim(const std::string& schede, bool cadenzato = false, const std::string& ini = "") {
    sim = std::make_unique<Simulatore>(cartella, "{\"schede\": [" + schede + "]}", cadenzato);
    ASSERT_GT(sim->porta, 0);
    std::ofstream(Ini()) << "[Ports]\nCOM3=rfc2217://127.0.0.1:" << sim->porta << "\n" << ini;
  }
  std::string Immagine(const std::vector<std::string>& opzioni, const std::string& nome = "image.bin") {
    std::vector<std::string> a = {BRICOLA_MKIMAGE, "-o", cartella + "/" + nome};
    a.insert(a.end(), opzioni.begin(), opzioni.end());
    const std::string errore = Esegui(a);
    EXPECT_EQ(errore, "");
    return cartella + "/" + nome;
  }
  void Apri(const std::string& file = "", const std::string& porta = "3", bool carica = false, bool esci = false) {
    finestra = std::make_unique<CBricolaDlg>();
    SAvvioFinestra a;
    a.nomeFile = file;
    a.portaTesto = porta;
    a.caricaSubito = carica;
    a.esciAllaFine = esci;
    finestra->Avvia(a);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(finestra.get()));
  }
  // Lets the window run until the condition holds (false at the time limit).
  static bool Attendi(const std::function<bool()>& condizione, int ms = 30000) {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!condizione()) {
      if (std::chrono::steady_clock::now() > fine) return false;
      QTest::qWait(10);
    }
    return true;
  }
  // The same in a running event loop, as the application's: posted calls are
  // handled as they come (QTest::qWait sleeps between its passes).
  static bool AttendiNelCiclo(const std::function<bool()>& condizione, int ms) {
    QEventLoop ciclo;
    QTimer controllo;
    bool riuscito = false;
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    QObject::connect(&controllo, &QTimer::timeout, [&] {
      riuscito = condizione();
      if (riuscito || std::chrono::steady_clock::now() > fine) ciclo.quit();
    });
    controllo.start(5);
    ciclo.exec();
    return riuscito;
  }
  std::string Stato() const { return finestra->statoLinea->text().toStdString(); }
  static void Premi(QAbstractButton* b) {
    ASSERT_TRUE(b->isEnabled()) << b->text().toStdString();
    QTest::mouseClick(b, Qt::LeftButton);
  }
  // Ticks the row by a click on its check box (the only press that counts).
  void ClicSpunta(int riga) {
    const QRect r = finestra->lista->RettangoloSpunta(riga);
    ASSERT_FALSE(r.isEmpty());
    QTest::mouseClick(finestra->lista->viewport(), Qt::LeftButton, {}, r.center());
  }

  std::string cartella;
  std::unique_ptr<Simulatore> sim;
  std::unique_ptr<CBricolaDlg> finestra;
};

TEST_F(FinestraQt, ControlsTextsAndKeyboard) {
  Apri();
  CBricolaDlg& f = *finestra;
  EXPECT_EQ(f.windowTitle(), "Bricola");
  EXPECT_EQ(f.gruppoFile->title(), "Selezione file");
  EXPECT_EQ(f.gruppoTrasferimento->title(), "Trasferimento");
  EXPECT_EQ(f.gruppoStatistiche->title(), "Statistiche");
  EXPECT_EQ(f.gruppoBoot->title(), "Boot");
  EXPECT_TRUE(f.load->isDefault());
  // Every button carries its text as its accessible name (mnemonic marks dropped).
  for (auto* b : std::initializer_list<QAbstractButton*>{f.load, f.read, f.clear, f.check, f.esci, f.selezionaTutto,
                                                        f.deselezionaTutto}) {
    QAccessibleInterface* i = QAccessible::queryAccessibleInterface(b);
    ASSERT_NE(i, nullptr);
    EXPECT_FALSE(i->text(QAccessible::Name).isEmpty());
    EXPECT_EQ(i->role(), QAccessible::Button);
  }
  EXPECT_EQ(QAccessible::queryAccessibleInterface(f.load)->text(QAccessible::Name), "Load");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(f.esci)->text(QAccessible::Name), "Esci");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(f.campoFile)->text(QAccessible::Name), "Selezione file");
  EXPECT_EQ(QAccessible::queryAccessibleInterface(f.indirizzo)->text(QAccessible::Name), "Indirizzo");
  // The statistics labels.
  const auto etichette = f.findChildren<QLabel*>();
  for (int id : {289, 293, 291, 290, 294, 292, 301, 288}) {
    const QString t = QString::fromUtf8(Testo(id));
    EXPECT_TRUE(std::any_of(etichette.begin(), etichette.end(), [&](QLabel* l) { return l->text() == t; })) << id;
  }
  // Tab walks through every button.
  std::vector<QWidget*> visti;
  f.campoFile->setFocus();
  for (int i = 0; i < 40; ++i) {
    visti.push_back(QApplication::focusWidget());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
  }
  for (QWidget* w : std::initializer_list<QWidget*>{f.lista, f.porte, f.clear, f.load, f.esci, f.indirizzo}) {
    if (w->isEnabled()) {
      EXPECT_NE(std::find(visti.begin(), visti.end(), w), visti.end()) << w->accessibleName().toStdString();
    }
  }
}

TEST_F(FinestraQt, LoadIntoTheSimulatedMachine) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100));
  const std::string img = Immagine({"-c", "0x1234", "-m", "1", "-n", "App", "0xFC0000:seq=8192", "-c", "0x1234",
                                    "-m", "1", "-n", "Altro", "0xFD0000:seq=512"});
  Apri(img);
  CBricolaDlg& f = *finestra;
  ASSERT_EQ(f.lista->topLevelItemCount(), 2);
  EXPECT_EQ(f.lista->topLevelItem(0)->text(2), "App");
  EXPECT_EQ(f.lista->topLevelItem(0)->text(5), "1234");
  EXPECT_EQ(f.campoFile->currentText().toStdString(), img);
  // Only the first module goes: the second is unticked by a click on its tick.
  ClicSpunta(1);
  EXPECT_FALSE(f.lista->Spuntata(1));
  // A click on the row's text does nothing.
  const QRect r = f.lista->visualItemRect(f.lista->topLevelItem(0));
  QTest::mouseClick(f.lista->viewport(), Qt::LeftButton, {},
                    QPoint(f.lista->columnViewportPosition(2) + 20, r.center().y()));
  EXPECT_TRUE(f.lista->Spuntata(0));

  Risponditore risponditore;
  std::vector<std::string> stati;
  Premi(f.load);
  EXPECT_EQ(f.load->text(), "S&top");
  EXPECT_FALSE(f.read->isEnabled());
  EXPECT_FALSE(f.esci->isEnabled());
  ASSERT_TRUE(Attendi([&] {
    if (stati.empty() || stati.back() != Stato()) stati.push_back(Stato());
    return f.Stato() == StatoLavoro::kInattivo;
  }));
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_GE(stati.size(), 3u);  // the phases went by
  EXPECT_EQ(f.trasferiti->text(), "8192 ");
  EXPECT_EQ(f.complessivi->text(), "8192 ");
  EXPECT_EQ(f.rimanenti->text(), "0 ");
  EXPECT_EQ(f.progresso->value(), f.progresso->maximum());
  EXPECT_EQ(f.progressivo->text(), "1");
  EXPECT_EQ(f.load->text(), "&Load");
  EXPECT_TRUE(f.esci->isEnabled());
  EXPECT_TRUE(risponditore.testi.empty());

  const QJsonObject locale = sim->Dump()["schede"].toArray()[0].toObject();
  EXPECT_TRUE(locale["fineRicevuto"].toBool());
  long scritti = 0;
  for (const auto& s : locale["scritti"].toArray()) scritti += s.toObject()["lunghezza"].toInt();
  EXPECT_EQ(scritti, 8192);

  // Closing writes the port and the recent file.
  f.close();
  finestra.reset();
  const std::string ini = [&] {
    std::ifstream i(Ini());
    return std::string(std::istreambuf_iterator<char>(i), {});
  }();
  EXPECT_NE(ini.find("File=" + img), std::string::npos) << ini;
}

TEST_F(FinestraQt, StopInTheMiddleReleasesTheBoard) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100), true);
  const std::string img = Immagine({"-c", "0x1234", "-m", "1", "-n", "Grande", "0xFC0000:seq=65536"});
  Apri(img);
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  Premi(f.load);
  ASSERT_TRUE(Attendi([&] { return f.trasferiti->text().toInt() > 0; }));
  ASSERT_EQ(f.Stato(), StatoLavoro::kCaricamento);
  Premi(f.load);  // "Stop"
  EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
  EXPECT_EQ(Stato(), "collegamento interrotto");
  EXPECT_EQ(f.load->text(), "&Load");
  EXPECT_LT(f.trasferiti->text().toInt(), 65536);
  EXPECT_EQ(f.TimerAttivo(), kTimerStandard);
  // The port was closed: a boot check opens it again and the board answers.
  // The simulator serves one client at a time and notices the closed
  // connection on its own time, so an open refused meanwhile is tried again.
  for (int tentativo = 0; tentativo < 20; ++tentativo) {
    Premi(f.check);
    ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo; }));
    if (Stato() != TestoDiEsito(RC_PORT_OPEN)) break;
    QTest::qWait(100);
  }
  EXPECT_EQ(Stato().rfind("Versione boot", 0), 0u) << Stato();
}

TEST_F(FinestraQt, ALoadStepsAsFastAsItsRepliesComeNotOncePerTimerPeriod) {
  // 128 KiB written and read back in 512-byte packets: several hundred
  // requests. With one step per 10 ms tick they alone would take over 5 s;
  // the line's wake-up runs the next step as soon as a reply is in.
  AvviaSim("{\"nome\": \"controllo\", \"codice\": \"0x1234\", \"versione\": \"0x68\", \"tipoMicro\": 7, "
           "\"velocitaMassima\": 1, \"codiceBuffer\": \"0xA0\", \"indirizzoCan\": \"0x0100\", "
           "\"flash\": {\"mappa\": \"M256\"}}");
  const std::string img = Immagine({"-c", "0x1234", "-m", "7", "-n", "Grande", "0xFC0000:seq=131072"});
  Apri(img);
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  const auto inizio = std::chrono::steady_clock::now();
  Premi(f.load);
  ASSERT_TRUE(AttendiNelCiclo([&] { return f.Stato() == StatoLavoro::kInattivo; }, 60000));
  const double secondi = std::chrono::duration<double>(std::chrono::steady_clock::now() - inizio).count();
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_EQ(f.trasferiti->text(), "262144 ");
  sim->Ferma();
  std::ifstream trascrizione(cartella + "/transcript.txt");
  int richieste = 0;
  for (std::string riga; std::getline(trascrizione, riga);) richieste += riga.find(" -> ") != std::string::npos;
  ASSERT_GT(richieste, 500);
  // The prescribed pauses (reset, boot start, speed settles) are under 1.2 s;
  // a step per period would add 10 ms a request on top of them.
  EXPECT_LT(secondi, 1.2 + 0.5 * richieste * 0.010) << richieste << " requests";
}

TEST_F(FinestraQt, BootCheckLocalAndRemote) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100) + "," + Scheda("remota", 0x0010, 0x200));
  Apri();
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  Premi(f.check);
  EXPECT_EQ(f.check->text(), "S&top");
  ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo; }));
  EXPECT_EQ(Stato().rfind("Versione boot", 0), 0u) << Stato();
  EXPECT_NE(Stato().find("codice distributore 1234"), std::string::npos) << Stato();

  QTest::keyClicks(f.indirizzo, "200");
  Premi(f.check);
  ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo; }));
  EXPECT_NE(Stato().find("codice distributore 0010"), std::string::npos) << Stato();
  // A known machine code names its model in brackets.
  EXPECT_NE(Stato().find(" ("), std::string::npos) << Stato();
  EXPECT_TRUE(risponditore.testi.empty());
  f.close();
  finestra.reset();
  std::ifstream i(Ini());
  const std::string ini((std::istreambuf_iterator<char>(i)), {});
  EXPECT_NE(ini.find("Indirizzo%20CAN=200"), std::string::npos) << ini;
}

TEST_F(FinestraQt, CloseDuringALoadAsksAndStopsItFirst) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100), true);
  const std::string img = Immagine({"-c", "0x1234", "-m", "1", "0xFC0000:seq=65536"});
  Apri(img);
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  Premi(f.load);
  ASSERT_TRUE(Attendi([&] { return f.trasferiti->text().toInt() > 0; }));
  risponditore.risposte = {QMessageBox::No};
  f.close();
  QTest::qWait(200);
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(f.Stato(), StatoLavoro::kCaricamento);
  risponditore.risposte = {QMessageBox::Yes};
  f.close();
  ASSERT_TRUE(Attendi([&] { return !f.isVisible(); }, 5000));
  EXPECT_EQ(f.caricamento.InCorso(), 0);
  EXPECT_EQ(risponditore.testi.size(), 2u);
}

TEST_F(FinestraQt, LoadStartedByTheCommandLineClosesTheWindowAtTheEnd) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100));
  const std::string img = Immagine({"-c", "0x1234", "-m", "1", "0xFC0000:seq=4096"});
  Risponditore risponditore;
  Apri(img, "3", true, true);
  EXPECT_EQ(finestra->Stato(), StatoLavoro::kCaricamento);
  ASSERT_TRUE(Attendi([&] { return !finestra->isVisible(); }));
  EXPECT_EQ(finestra->Stato(), StatoLavoro::kInattivo);
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_TRUE(risponditore.testi.empty());
  EXPECT_TRUE(sim->Dump()["schede"].toArray()[0].toObject()["fineRicevuto"].toBool());
}

// A module the board refuses: its message box comes up from inside a tick,
// and the timer messages that arrive meanwhile are dropped.
TEST_F(FinestraQt, ModuleErrorBoxDuringATickKeepsTheTimerOut) {
  AvviaSim(Scheda("controllo", 0x1234, 0x100));
  const std::string img = Immagine({"-c", "0x0010", "-m", "1", "-n", "Altra", "0xFC0000:seq=1024"});
  Apri(img);
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  bool occupato = false;
  int tickDurante = -1;
  risponditore.allaVista = [&] {
    occupato = f.Occupato();
    // A timer message now does nothing.
    const std::string prima = Stato();
    f.SuTimer(f.TimerAttivo());
    tickDurante = Stato() == prima ? 0 : 1;
  };
  Premi(f.load);
  ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo && !risponditore.testi.empty(); }));
  ASSERT_EQ(risponditore.testi.size(), 1u);
  EXPECT_EQ(risponditore.testi[0].rfind("Prog. nr. 1 - ", 0), 0u) << risponditore.testi[0];
  EXPECT_TRUE(occupato);
  EXPECT_EQ(tickDurante, 0);
  EXPECT_EQ(risponditore.testi[0].substr(14), Stato());
  EXPECT_FALSE(f.Occupato());
}

TEST_F(FinestraQt, UsageBoxOnADesktop) {
  int argc = 1;
  char nome[] = "bricola";
  char* argv[] = {nome, nullptr};
  const SDesktop d = DesktopQt(argc, argv);
  ASSERT_TRUE(d.disponibile());
  Risponditore risponditore;
  d.mostraUso(kTestoUso);
  ASSERT_EQ(risponditore.testi.size(), 1u);
  EXPECT_EQ(risponditore.testi[0].rfind("Bricola [-?] [-C {Com}]", 0), 0u);
  EXPECT_EQ(risponditore.testi[0].find('\r'), std::string::npos);
}

TEST_F(FinestraQt, EnglishTextsWhenTheSettingsSaySo) {
  std::ofstream(Ini()) << "[Settings]\nLingua=en\n";
  Apri();
  EXPECT_EQ(finestra->gruppoFile->title().toStdString(), Testo(286 + kInglese));
  EXPECT_EQ(finestra->esci->text().toStdString(), std::string("&") + Testo(287 + kInglese));
  EXPECT_EQ(finestra->windowTitle(), "Bricola");
}

// The Memox on USB: load two modules onto it, list it ("DIR"), read it back
// into a file, empty it after confirming.
TEST_F(FinestraQt, KeyLoadListReadAndClear) {
  SimChiave chiave(cartella);
  ASSERT_TRUE(chiave.pronto);
  std::ofstream(Ini()) << "[Ports]\nUSB=unix:" << chiave.usb << "\n";
  const std::string img = Immagine({"-c", "0x0010", "-l", "3", "-n", "primo", "0xFC0000:seq=300", "-c", "0x0011",
                                    "-l", "3", "-n", "secondo", "0xFC0000:seq=301"});
  Apri(img, "61");
  CBricolaDlg& f = *finestra;
  ASSERT_EQ(f.codicePorta, 60);
  EXPECT_EQ(f.porte->currentItem()->text(), "Usb");
  EXPECT_TRUE(f.read->isEnabled());
  EXPECT_FALSE(f.check->isEnabled());
  Risponditore risponditore;

  // Load onto the empty key: no question.
  Premi(f.load);
  ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo; }));
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_TRUE(risponditore.testi.empty()) << risponditore.testi.front();

  // Loading again asks before overwriting; No changes nothing.
  risponditore.risposte = {QMessageBox::No};
  Premi(f.load);
  QTest::qWait(100);
  ASSERT_EQ(risponditore.testi.size(), 1u);
  EXPECT_EQ(risponditore.testi[0], Testo(355));
  EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
  risponditore.testi.clear();

  // "DIR" lists the key's content in the module list.
  f.campoFile->setEditText("DIR");
  Premi(f.read);
  ASSERT_TRUE(Attendi([&] { return f.lista->topLevelItemCount() == 2; }, 5000));
  EXPECT_EQ(f.lista->topLevelItem(0)->text(2), "primo");
  EXPECT_EQ(f.lista->topLevelItem(1)->text(2), "secondo");
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_FALSE(f.load->isEnabled());

  // Read every file of the key into a new image file.
  const std::string letto = cartella + "/letto.bin";
  f.campoFile->setEditText(QString::fromStdString(letto));
  Premi(f.read);
  ASSERT_TRUE(Attendi([&] { return f.Stato() == StatoLavoro::kInattivo; }));
  EXPECT_EQ(Stato(), "trasferimento completato");
  EXPECT_TRUE(risponditore.testi.empty());
  ASSERT_TRUE(std::filesystem::exists(letto));
  // The file read back is an image with the same two modules.
  ASSERT_EQ(f.lista->topLevelItemCount(), 2);
  EXPECT_EQ(f.lista->topLevelItem(1)->text(2), "secondo");
  EXPECT_EQ(f.lista->topLevelItem(1)->text(4), "301");

  // Reading again into the same file asks first.
  risponditore.risposte = {QMessageBox::No};
  Premi(f.read);
  QTest::qWait(100);
  ASSERT_EQ(risponditore.testi.size(), 1u);
  EXPECT_EQ(risponditore.testi[0], Testo(343));
  risponditore.testi.clear();

  // Clear: No keeps the content, Yes empties the key.
  risponditore.risposte = {QMessageBox::No};
  Premi(f.clear);
  QTest::qWait(100);
  risponditore.risposte = {QMessageBox::Yes};
  Premi(f.clear);
  QTest::qWait(100);
  ASSERT_EQ(risponditore.testi.size(), 2u);
  EXPECT_EQ(risponditore.testi[0], Testo(353));
  EXPECT_EQ(risponditore.testi[1], Testo(353));
  risponditore.testi.clear();
  // The listing now finds no module: one empty row.
  f.campoFile->setEditText("DIR");
  Premi(f.read);
  ASSERT_TRUE(Attendi([&] { return f.lista->topLevelItemCount() == 1; }, 5000));
  EXPECT_EQ(f.lista->topLevelItem(0)->text(2), "");
  EXPECT_TRUE(risponditore.testi.empty());
}

TEST_F(FinestraQt, LoadOfAMissingFileShowsTheReason) {
  Apri(cartella + "/manca.bin");
  CBricolaDlg& f = *finestra;
  ASSERT_EQ(f.lista->topLevelItemCount(), 1);
  EXPECT_EQ(f.lista->topLevelItem(0)->text(2).toStdString(), Testo(305));
  EXPECT_FALSE(f.load->isEnabled());
}

TEST_F(FinestraQt, MicroEraseOfAnMb90F345AfterConfirming) {
  const std::string ram = cartella + "/ram";
  ASSERT_EQ(Esegui({BRICOLA_MKIMAGE, "--ram-loaders", ram, "1"}), "");
  ImpostaCartellaCaricatori(ram);
  // An MB90F345 without a resident boot, powered by hand once RTS is up, with
  // something in its flash.
  AvviaSim(
      "{\"nome\": \"micro\", \"codice\": \"0x1234\", \"versione\": \"0x68\", \"indirizzoCan\": \"0x0100\", "
      "\"f2mc\": {\"micro\": \"R\", \"accensione\": \"rts\"}, "
      "\"flash\": {\"regioni\": [{\"inizio\": \"0xF80000\", \"dimensione\": \"0x80000\", \"settori\": \"F512\"}], "
      "\"allineamento\": 1, \"contenuto\": [{\"indirizzo\": \"0xF80000\", \"dati\": \"0102\"}]}}");
  Apri();
  CBricolaDlg& f = *finestra;
  Risponditore risponditore;
  // Cancel at the first question: nothing starts.
  risponditore.risposte = {QMessageBox::Cancel};
  Premi(f.clear);
  QTest::qWait(100);
  EXPECT_EQ(f.Stato(), StatoLavoro::kInattivo);
  ASSERT_EQ(risponditore.testi.size(), 1u);
  EXPECT_EQ(risponditore.testi[0], Testo(381));
  risponditore.testi.clear();
  Premi(f.clear);
  ASSERT_TRUE(Attendi([&] { return risponditore.testi.size() >= 3 && f.Stato() == StatoLavoro::kInattivo; }, 60000));
  ASSERT_GE(risponditore.testi.size(), 3u);
  EXPECT_EQ(risponditore.testi[1], Testo(372));
  EXPECT_EQ(risponditore.testi[2], Testo(373));
  EXPECT_EQ(Stato(), Testo(374));
  EXPECT_EQ(f.clear->text(), "&Clear");
  ImpostaCartellaCaricatori("");
  const QJsonObject scheda = sim->Dump()["schede"].toArray()[0].toObject();
  EXPECT_TRUE(scheda["nonVuoti"].toArray().isEmpty());
}

}  // namespace
}  // namespace bricola

int main(int argc, char** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
