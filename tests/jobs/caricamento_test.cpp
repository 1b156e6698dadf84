// The load job around its loaders: analysis and selection, the refusals of its
// start, the interface it opens and closes, and stopping. Whole loads through a
// board's boot run end to end against the simulator (tests/e2e).
#include "jobs/caricamento.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "bootstrap/caricatori_ram.h"
#include "comm/porta_seriale.h"
#include "platform/dispositivi.h"
#include "platform/linea_seriale.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

using prova::CImmagine;
using prova::SIntestazione;

// What the fake port saw: bytes written and line changes.
struct SRegistroLinea {
  std::mutex mutex;
  std::vector<std::uint8_t> scritti;
  int aperture = 0;
  int cambiDtr = 0;
};

// A port whose board never answers.
class CLineaMuta : public LineaSeriale {
 public:
  explicit CLineaMuta(SRegistroLinea* r) : registro(r) {}
  int Scrivi(const std::uint8_t* dati, int lunghezza) override {
    std::lock_guard<std::mutex> l(registro->mutex);
    registro->scritti.insert(registro->scritti.end(), dati, dati + lunghezza);
    return lunghezza;
  }
  int Leggi(std::uint8_t*, int, int timeoutMs) override {
    // Blocking reads are bounded by their timeout; nothing ever comes.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeoutMs, 5)));
    return 0;
  }
  bool ImpostaBaud(int) override { return true; }
  bool ImpostaBitStop(int) override { return true; }
  bool ImpostaDtr(bool) override {
    std::lock_guard<std::mutex> l(registro->mutex);
    ++registro->cambiDtr;
    return true;
  }
  bool ImpostaRts(bool) override { return true; }
  bool SvuotaIngresso() override { return true; }

 private:
  SRegistroLinea* registro;
};

class Caricamento : public ::testing::Test {
 protected:
  void SetUp() override {
    ImpostaApritorePorta([this](int numero, int, bool, bool) -> std::unique_ptr<LineaSeriale> {
      if (!portaPresente) return nullptr;
      std::lock_guard<std::mutex> l(linea.mutex);
      ++linea.aperture;
      numeroAperto = numero;
      return std::make_unique<CLineaMuta>(&linea);
    });
    job.ImpostaRegistro(cartella.File("log.txt"));
    job.ImpostaInterfaccia(2, INTERFACCIA_SERIALE, 0, 0);
  }
  void TearDown() override { ImpostaApritorePorta(nullptr); }

  std::string Scrivi(const CImmagine& img, const std::string& nome = "fw.bin") {
    const std::string p = cartella.File(nome);
    EXPECT_TRUE(img.Scrivi(p));
    return p;
  }
  std::string Registro() {
    std::ifstream in(cartella.File("log.txt"), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  int Avvia(int& esito) {
    int periodo = -1, fase = -1;
    return job.Avvia(&periodo, &fase, &esito);
  }
  std::size_t ByteScritti() {
    std::lock_guard<std::mutex> l(linea.mutex);
    return linea.scritti.size();
  }

  prova::CCartellaTemporanea cartella;
  SRegistroLinea linea;
  bool portaPresente = true;
  int numeroAperto = -1;
  CCaricamento job;
};

// A header record's fields.
SIntestazione Testa(int tipoMicro, int tipoModulo = 0, bool remoto = false, bool nonSelezionato = false,
                    const std::string& nome = {}) {
  SIntestazione h;
  h.tipoMicro = tipoMicro;
  h.tipoModulo = tipoModulo;
  h.caricabileRemoto = remoto;
  h.nonSelezionato = nonSelezionato;
  h.nome = nome;
  return h;
}

// Two application modules for machine 0x0010, the second not loadable remotely.
CImmagine DueApplicazioni() {
  CImmagine img;
  img.Intestazione(Testa(1, 0, true, false, "uno"))
      .Sequenza(0xFC0000, 64)
      .Fine(0x0010);
  img.Intestazione(Testa(1, 0, false, false, "due")).Sequenza(0xFD0000, 64).Fine(0x0010);
  return img;
}

TEST_F(Caricamento, AnalysisPreselectsValidModulesThatDoNotAskToStayUnticked) {
  CImmagine img;
  img.Sequenza(0xFC0000, 16).Fine(0x0010);                                    // valid
  img.Intestazione(Testa(1, 0, false, true)).Sequenza(0xFD0000, 16).Fine(0x0010);
  img.Sequenza(0xFE0000, 16).FineCrc(0x0010, 0x1234);                        // CRC mismatch
  int errore = -1;
  ASSERT_EQ(job.Analizza(Scrivi(img), &errore), 1);
  EXPECT_EQ(errore, 0);
  ASSERT_EQ(job.NumModuli(), 3);

  SInfoModulo info;
  int esito = -1;
  ASSERT_EQ(job.InfoModulo(0, info, &esito), 1);
  EXPECT_EQ(info.selezionato, 1);
  EXPECT_EQ(info.codice, 0x0010);
  EXPECT_EQ(info.lunghezzaDati, 16u);
  ASSERT_EQ(job.InfoModulo(1, info, &esito), 1);
  EXPECT_EQ(info.selezionato, 0);
  EXPECT_EQ(job.InfoModulo(2, info, &esito), 0);
  EXPECT_EQ(esito, RC_MODULE_CORRUPT);
  EXPECT_EQ(job.InfoModulo(3, info, &esito), 0);
  EXPECT_EQ(esito, RC_NO_SUCH_MODULE);
  // A corrupt module in the file but not selected: the selection is valid.
  EXPECT_EQ(job.SelezioneValida(), 1);

  // A second analysis never keeps the ticks of the first file.
  CImmagine altro;
  altro.Intestazione(Testa(1, 0, false, true)).Sequenza(0xFC0000, 16).Fine(0x0010);
  altro.Sequenza(0xFD0000, 16).Fine(0x0010);
  ASSERT_EQ(job.Analizza(Scrivi(altro, "altro.bin"), &errore), 1);
  ASSERT_EQ(job.InfoModulo(0, info, &esito), 1);
  EXPECT_EQ(info.selezionato, 0);
  ASSERT_EQ(job.InfoModulo(1, info, &esito), 1);
  EXPECT_EQ(info.selezionato, 1);
}

TEST_F(Caricamento, StartRefusalsTouchNeitherPortNorLine) {
  struct {
    const char* nome;
    CImmagine img;
    std::vector<int> selezione;  // empty: the analysis' own
    int tipo, remoto;
    int atteso;
  } casi[] = {
      {"corrupt module selected", CImmagine().Sequenza(0xFC0000, 8).FineCrc(0x0010, 1), {1}, 1, 0,
       RC_FILE_UNLOADABLE},
      {"nothing selected", DueApplicazioni(), {0, 0}, 1, 0, RC_NO_MODULE_SELECTED},
      {"remote with a module not loadable remotely", DueApplicazioni(), {}, 1, 1,
       RC_REMOTE_NOT_ALLOWED},
      {"mode 2 with a boot module",
       CImmagine().Intestazione(Testa(1, 1)).Sequenza(0xFF0000, 8).Fine(0x0010),
       {}, INTERFACCIA_MODO_2, 0, RC_FILE_UNLOADABLE},
  };
  for (auto& c : casi) {
    int errore = 0;
    job.Analizza(Scrivi(c.img), &errore);
    if (!c.selezione.empty()) {
      ASSERT_EQ(job.SelezionaModuli(c.selezione.data(), static_cast<int>(c.selezione.size())), 1);
    }
    job.ImpostaInterfaccia(2, c.tipo, c.remoto, 0);
    int esito = -1;
    EXPECT_EQ(Avvia(esito), 0) << c.nome;
    EXPECT_EQ(esito, c.atteso) << c.nome;
    EXPECT_EQ(job.InCorso(), 0) << c.nome;
  }
  EXPECT_EQ(linea.aperture, 0);
}

TEST_F(Caricamento, AFileThatCannotServeIsRefused) {
  // A scan that fails inside its first module leaves the file unusable.
  CImmagine img;
  img.DatiFalsati(0x1000, 0xFC0000, {1, 2, 3, 4});
  int errore = 0;
  EXPECT_EQ(job.Analizza(Scrivi(img), &errore), 0);
  EXPECT_EQ(errore, ERRORE_FORMATO);
  int esito = -1;
  EXPECT_EQ(Avvia(esito), 0);
  EXPECT_EQ(esito, RC_FILE_UNLOADABLE);
  const int tutti[2] = {1, 1};
  EXPECT_EQ(job.SelezionaModuli(tutti, 2), 0);
}

TEST_F(Caricamento, APathLongerThan260CharactersIsNeverCutToAnotherFile) {
  // The first 260 characters name a file that exists; the whole path does not.
  std::string lungo = cartella.File("");
  lungo += std::string(260 - lungo.size() - 4, 'a') + ".bin";
  ASSERT_EQ(lungo.size(), 260u);
  Scrivi(DueApplicazioni(), lungo.substr(cartella.Percorso().size() + 1));
  int errore = 0;
  ASSERT_EQ(job.Analizza(lungo, &errore), 1);
  EXPECT_EQ(job.NumModuli(), 2);
  EXPECT_EQ(job.Analizza(lungo + "x", &errore), 0);
  EXPECT_EQ(errore, ERRORE_APERTURA);
  EXPECT_EQ(job.NumModuli(), 0);
  int esito = -1;
  EXPECT_EQ(Avvia(esito), 0);
  EXPECT_EQ(esito, RC_FILE_UNLOADABLE);
}

TEST_F(Caricamento, PortThatCannotBeOpenedGivesItsCode) {
  portaPresente = false;
  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(DueApplicazioni()), &errore), 1);
  int esito = -1;
  EXPECT_EQ(Avvia(esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_EQ(job.InCorso(), 0);
  const std::string log = Registro();
  EXPECT_NE(log.find("velocita' apertura 38400 bit/s\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("errore apertura interfaccia\r\n"), std::string::npos) << log;
}

TEST_F(Caricamento, PortsWithoutAnInterfaceInThisBuildAreRefused) {
  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(DueApplicazioni()), &errore), 1);
  // A PIC interface with no driver device behind it cannot be opened either.
  for (int tipo : {INTERFACCIA_CHIAVE_PARALLELA, INTERFACCIA_CHIAVE_USB, INTERFACCIA_PIC}) {
    job.ImpostaInterfaccia(0, tipo, 0, 0);
    int esito = -1;
    EXPECT_EQ(Avvia(esito), 0) << tipo;
    EXPECT_EQ(esito, RC_PORT_OPEN) << tipo;
  }
  EXPECT_EQ(linea.aperture, 0);
}

TEST_F(Caricamento, APackedTreeOnASerialPortIsUnpackedWithoutTouchingTheLine) {
  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(CImmagine()
                                    .Intestazione(Testa(1, 9))
                                    .Albero(0, cartella.File("demo"), {prova::SVoceAlbero{"a.txt", false, {1, 2}}})
                                    .Fine(0x0010)),
                         &errore),
            1);
  job.ImpostaInterfaccia(2, INTERFACCIA_SERIALE, 0, 0);
  int periodo = -1, fase = -1, esito = -1;
  ASSERT_EQ(job.Avvia(&periodo, &fase, &esito), 1) << esito;
  EXPECT_EQ(periodo, 10);
  int aggiorna = 0, erroreModulo = 0;
  while (job.Passo(&aggiorna, &erroreModulo, &fase, &esito)) {
  }
  EXPECT_EQ(fase, ST_DONE);
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(prova::LeggiFile(cartella.File("demo/a.txt")), (prova::Byte{1, 2}));
  EXPECT_EQ(linea.aperture, 0);
  EXPECT_EQ(ByteScritti(), 0u);
}

TEST_F(Caricamento, A68331ProgramOnASerialPortGoesToThe68331Loader) {
  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(CImmagine().Intestazione(Testa(0)).Sequenza(0x10000, 8).Fine(0x0010)), &errore), 1);
  int periodo = -1, fase = -1, esito = -1;
  ASSERT_EQ(job.Avvia(&periodo, &fase, &esito), 1);
  EXPECT_EQ(periodo, 10);
  EXPECT_EQ(fase, ST_WAIT_LINK);
  // No reset pulse: the first bytes on the line are the framed start request
  // for the module's bytes (the payload of its data record) in packets of 128.
  {
    std::lock_guard<std::mutex> l(linea.mutex);
    const std::vector<std::uint8_t> avvio{0x47, 0x47, 0x00, 0x07, 0x5A, 0x00, 0x00, 0x00, 0x08, 0x00, 0x80};
    ASSERT_EQ(linea.scritti.size(), avvio.size() + 3);
    EXPECT_TRUE(std::equal(avvio.begin(), avvio.end(), linea.scritti.begin()));
    EXPECT_EQ(linea.cambiDtr, 0);
  }
  EXPECT_EQ(job.Ferma(&esito), 1);
  EXPECT_NE(Registro().find("modulo 68331 di 8 byte\r\n"), std::string::npos);
}

// A driver device with a blank PIC board of no machine: every request done,
// every read all FF; the control codes in order.
class CDriverPicVuoto final : public DispositivoDriver {
 public:
  explicit CDriverPicVuoto(std::vector<std::uint32_t>* c) : codici(c) {}
  bool Richiesta(std::uint32_t codice, std::span<const std::uint8_t>, std::uint32_t,
                 std::vector<std::uint8_t>& uscita) override {
    codici->push_back(codice);
    uscita.assign(codice == 0xE2E96058 ? 516 : 4, 0);
    if (codice == 0xE2E96058) std::fill_n(uscita.begin(), 512, 0xFF);
    return true;
  }

 private:
  std::vector<std::uint32_t>* codici;
};

TEST_F(Caricamento, APicPortGoesToThePicLoaderWhateverTheModule) {
  std::vector<std::uint32_t> codici;
  ImpostaApritoreDriverPic([&](int) { return std::make_unique<CDriverPicVuoto>(&codici); });
  job.verificaScrittura = 0;  // the device keeps nothing to read back
  struct {
    int tipoMicro, esito;
  } casi[] = {{3, RC_OK}, {1, RC_MODULE_TYPE}};  // load kind 5, load kind 3
  for (const auto& c : casi) {
    codici.clear();
    int errore = 0;
    ASSERT_EQ(job.Analizza(Scrivi(CImmagine().Intestazione(Testa(c.tipoMicro)).Sequenza(0x100, 8).Fine(0x1020)),
                           &errore), 1);
    job.ImpostaInterfaccia(0, INTERFACCIA_PIC, 0, 0);
    int periodo = -1, fase = -1, esito = -1;
    if (c.esito == RC_OK) {
      ASSERT_EQ(job.Avvia(&periodo, &fase, &esito), 1);
      EXPECT_EQ(periodo, 1);
      int aggiorna = 0, erroreModulo = 0, passi = 0;
      while (job.Passo(&aggiorna, &erroreModulo, &fase, &esito) && ++passi < 1000) {
      }
      EXPECT_EQ(fase, ST_DONE);
      EXPECT_EQ(esito, RC_OK);
    } else {
      EXPECT_EQ(job.Avvia(&periodo, &fase, &esito), 0);
      EXPECT_EQ(esito, c.esito);
    }
    // Mode on first and mode off last, the serial line never touched.
    ASSERT_GE(codici.size(), 2u);
    EXPECT_EQ(codici.front(), 0xE2E96054u);
    EXPECT_EQ(codici.back(), 0xE2E96054u);
    EXPECT_EQ(codici.size() > 2, c.esito == RC_OK);
  }
  EXPECT_EQ(linea.aperture, 0);
  ImpostaApritoreDriverPic(nullptr);
}

TEST_F(Caricamento, RomBootstrapWritersWithoutTheirRamLoaderFileAreRefusedBeforeAnyByteIsSent) {
  // An MB90F549 boot module (its writer) and an MB91F465 one (the micro check
  // first): the RAM-loader folder is empty.
  ImpostaCartellaCaricatori(cartella.File("nessuna"));
  struct {
    const char* nome;
    CImmagine img;
  } casi[] = {
      {"MB90F549 boot", CImmagine().Intestazione(Testa(1, 1)).Sequenza(0xFF0000, 8).Fine(0x0010)},
      {"MB91F465 boot", CImmagine().Intestazione(Testa(8, 1)).Sequenza(0xFF0000, 8).Fine(0x0010)},
  };
  for (auto& c : casi) {
    int errore = 0;
    ASSERT_EQ(job.Analizza(Scrivi(c.img), &errore), 1) << c.nome;
    job.ImpostaInterfaccia(2, INTERFACCIA_SERIALE, 0, 0);
    int esito = -1;
    EXPECT_EQ(Avvia(esito), 0) << c.nome;
    EXPECT_EQ(esito, RC_FILE_OPEN) << c.nome;
    EXPECT_EQ(job.InCorso(), 0) << c.nome;
  }
  ImpostaCartellaCaricatori("");
  EXPECT_EQ(ByteScritti(), 0u);
  EXPECT_EQ(linea.cambiDtr, 0);
  const std::string log = Registro();
  EXPECT_NE(log.find("mb90f549.bin non trovata"), std::string::npos) << log;
  // The MB91F465 writer's kernel is looked for before the micro check runs.
  EXPECT_NE(log.find("mb91f465-kernel.bin non trovata"), std::string::npos) << log;
}

TEST_F(Caricamento, ARemoteConnectionWithNothingToCarryItEndsInsteadOfWaitingForever) {
  CImmagine img;
  img.Intestazione(Testa(1, 0, true)).Sequenza(0xFC0000, 8).Fine(0x0010);
  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(img), &errore), 1);
  job.ImpostaInterfaccia(2, INTERFACCIA_SERIALE, 1, 0);
  int esito = -1;
  ASSERT_EQ(Avvia(esito), 1);
  EXPECT_EQ(numeroAperto, 3);  // port number 2 is COM3
  EXPECT_EQ(job.InCorso(), 1);
  // A second start while the first runs.
  EXPECT_EQ(Avvia(esito), 0);
  EXPECT_EQ(esito, RC_ALREADY_RUNNING);

  int aggiorna = 0, erroreModulo = 0, fase = 0;
  EXPECT_EQ(job.Passo(&aggiorna, &erroreModulo, &fase, &esito), 0);
  EXPECT_EQ(esito, RC_REMOTE_LOAD);
  EXPECT_EQ(fase, ST_FAILED);
  EXPECT_EQ(erroreModulo, 1);
  EXPECT_EQ(job.InCorso(), 0);
  EXPECT_EQ(ByteScritti(), 0u);
}

TEST_F(Caricamento, StopEndsARunningJobAndClosesThePort) {
  int esito = -1;
  EXPECT_EQ(job.Ferma(&esito), 0);
  EXPECT_EQ(esito, RC_NOT_RUNNING);

  int errore = 0;
  ASSERT_EQ(job.Analizza(Scrivi(DueApplicazioni()), &errore), 1);
  int periodo = 0, fase = 0;
  ASSERT_EQ(job.Avvia(&periodo, &fase, &esito), 1) << esito;
  EXPECT_EQ(periodo, 10);
  EXPECT_EQ(fase, ST_WAIT_LINK);
  EXPECT_EQ(job.IndiceModulo(), 0);
  // The board is reset with a DTR pulse before anything is asked.
  EXPECT_GE(linea.cambiDtr, 2);

  int modulo = -1, totali = -1, fatti = -1, ripetuti = -1, secondi = -1;
  ASSERT_EQ(job.Progresso(&modulo, &totali, &fatti, &ripetuti, &secondi), 1);
  EXPECT_EQ(modulo, 0);
  EXPECT_EQ(totali, 128);  // read back after writing: every byte counts twice
  EXPECT_EQ(fatti, 0);

  int aggiorna = 0, erroreModulo = 0;
  EXPECT_EQ(job.Passo(&aggiorna, &erroreModulo, &fase, &esito), 1);
  EXPECT_EQ(job.Ferma(&esito), 1);
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(job.InCorso(), 0);
  // The port is closed: it can be opened again by the next start.
  ASSERT_EQ(job.Avvia(&periodo, &fase, &esito), 1) << esito;
  EXPECT_EQ(linea.aperture, 2);
  EXPECT_EQ(job.Ferma(&esito), 1);
}

TEST(CMutexAttesa, AWaitEndsAtItsLimitAndATakenLockComesBackWhenReleased) {
  CMutexAttesa m;
  ASSERT_TRUE(m.Prendi(0));
  std::atomic<int> esito{-1};
  std::thread altro([&] { esito = m.Prendi(30) ? 1 : 0; });
  altro.join();
  EXPECT_EQ(esito.load(), 0);  // held: the other thread gives up after its wait
  std::thread attesa([&] { esito = m.Prendi(5000) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  m.Rilascia();
  attesa.join();
  EXPECT_EQ(esito.load(), 1);  // released while waiting: taken
  m.Rilascia();
}

}  // namespace
}  // namespace bricola
