#include "app/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <string>

#include "base/esiti.h"
#include "cartella_prova.h"
#include "platform/interruzione.h"
#include "comm/int_seriale.h"
#include "platform/sistema.h"
#include "tests/comm/linea_finta.h"

namespace bricola {
namespace {

TEST(BatchAvvia, OperationChosenByTheFlags) {
  struct {
    const char* nome;
    bool carica, leggi, cancella;
    int atteso;
  } const casi[] = {
      {"nothing asked", false, false, false, RC_NO_OPERATION},
      // No image file given and none stored: the load cannot open it.
      {"load", true, false, false, RC_FILE_OPEN},
      // The stored port is the first COM port: the key jobs refuse a serial port.
      {"read", false, true, false, RC_PORT_OPEN},
      {"erase", false, false, true, RC_PORT_OPEN},
      {"load wins over read", true, true, false, RC_FILE_OPEN},
  };
  for (const auto& c : casi) {
    CBatchProc runner;
    RichiestaBatch r;
    r.caricaSubito = c.carica;
    r.leggiSubito = c.leggi;
    r.cancellaChiave = c.cancella;
    EXPECT_EQ(runner.Avvia(r), c.atteso) << c.nome;
    bool inCorso = true;
    int fase = -1, esito = -1;
    runner.Stato(inCorso, fase, esito);
    EXPECT_FALSE(inCorso) << c.nome;
  }
}

TEST(BatchAvvia, WritesStartToTheLogOnlyWithAPath) {
  prova::CartellaProva cartella;
  {
    CBatchProc runner;
    runner.Avvia(RichiestaBatch{});
  }
  EXPECT_TRUE(cartella.Vuota());

  RichiestaBatch r;
  r.percorsoRegistro = cartella.File("log.txt");
  CBatchProc runner;
  EXPECT_EQ(runner.Avvia(r), RC_NO_OPERATION);
  const std::string contenuto = prova::LeggiTutto(r.percorsoRegistro);
  ASSERT_EQ(contenuto.size(), 20u + 5u + 2u) << contenuto;
  EXPECT_EQ(contenuto.substr(20), "start\r\n");
}

// Exposes the worker to drive it with scripted steps.
class RunnerDiProva : public CBatchProc {
 public:
  using CBatchProc::AvviaWorker;
};

TEST(BatchWorker, StepsUntilTheJobEndsAndKeepsTheLastCodes) {
  RunnerDiProva runner;
  std::atomic<int> passi{0};
  ASSERT_EQ(runner.AvviaWorker(
                [&](int& fase, int& esito) {
                  const int n = ++passi;
                  fase = n < 5 ? ST_SEND_MODULE : ST_FAILED;
                  esito = n < 5 ? RC_OK : RC_REPLY_TIMEOUT;
                  return n < 5;
                },
                1),
            RC_OK);
  EXPECT_EQ(CBatchProc::AttendiFine(runner), RC_REPLY_TIMEOUT);
  EXPECT_EQ(passi.load(), 5);
  bool inCorso = true;
  int fase = 0, esito = 0;
  runner.Stato(inCorso, fase, esito);
  EXPECT_FALSE(inCorso);
  EXPECT_EQ(fase, ST_FAILED);
  EXPECT_EQ(esito, RC_REPLY_TIMEOUT);
}

TEST(BatchWorker, SuccessfulJobEndsWithZero) {
  RunnerDiProva runner;
  ASSERT_EQ(runner.AvviaWorker(
                [](int& fase, int& esito) {
                  fase = ST_DONE;
                  esito = RC_OK;
                  return false;
                },
                1),
            RC_OK);
  EXPECT_EQ(CBatchProc::AttendiFine(runner), RC_OK);
}

TEST(BatchWorker, StopEndsARunningJob) {
  RunnerDiProva runner;
  std::atomic<int> passi{0};
  ASSERT_EQ(runner.AvviaWorker(
                [&](int& fase, int&) {
                  ++passi;
                  fase = ST_SEND_MODULE;
                  return true;
                },
                1),
            RC_OK);
  while (passi.load() < 3) Dormi(1);
  runner.Ferma();
  bool inCorso = true;
  int fase = 0, esito = -1;
  runner.Stato(inCorso, fase, esito);
  EXPECT_FALSE(inCorso);
  const int dopo = passi.load();
  Dormi(20);
  EXPECT_EQ(passi.load(), dopo);
}

TEST(BatchWorker, DestroyingTheRunnerStopsTheWorker) {
  std::atomic<int> passi{0};
  {
    RunnerDiProva runner;
    runner.AvviaWorker([&](int&, int&) { ++passi; return true; }, 1);
    while (passi.load() < 2) Dormi(1);
  }
  const int dopo = passi.load();
  Dormi(20);
  EXPECT_EQ(passi.load(), dopo);
}

// An interruption noted while the job runs (what the SIGINT handler does)
// stops the worker before its next step, logged, and the runner names the
// signal; the step is never called again.
TEST(BatchWorker, InterruptionStopsTheWorkerBeforeItsNextStep) {
  prova::CartellaProva cartella;
  const std::string log = cartella.File("log.txt");
  std::atomic<int> passi{0};
  {
    RunnerDiProva runner;
    runner.ImpostaFileRegistro(log);
    ASSERT_EQ(runner.AvviaWorker(
                  [&](int& fase, int&) {
                    if (++passi == 3) NotaInterruzione(SIGINT);
                    fase = ST_SEND_MODULE;
                    return true;
                  },
                  1),
              RC_OK);
    CBatchProc::AttendiFine(runner);
    EXPECT_EQ(passi.load(), 3);
    EXPECT_EQ(runner.Interruzione(), SIGINT);
    bool inCorso = true;
    int fase = 0, esito = -1;
    runner.Stato(inCorso, fase, esito);
    EXPECT_FALSE(inCorso);
    EXPECT_EQ(fase, ST_FAILED);
  }
  AzzeraInterruzione();
  const std::string contenuto = prova::LeggiTutto(log);
  EXPECT_NE(contenuto.find("interruzione dal segnale SIGINT\r\n"), std::string::npos) << contenuto;
  EXPECT_EQ(contenuto.substr(contenuto.size() - 6), "stop\r\n") << contenuto;
}

// The handler notes the first signal and leaves the process running; the
// note keeps the first signal.
TEST(Interruzione, HandlerNotesTheFirstSignal) {
  ASSERT_TRUE(InstallaGestoreInterruzione());
  EXPECT_EQ(SegnaleInterruzione(), 0);
  std::raise(SIGTERM);
  EXPECT_EQ(SegnaleInterruzione(), SIGTERM);
  EXPECT_STREQ(NomeSegnale(SegnaleInterruzione()), "SIGTERM");
  NotaInterruzione(SIGINT);
  EXPECT_EQ(SegnaleInterruzione(), SIGTERM);
  AzzeraInterruzione();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  EXPECT_EQ(SegnaleInterruzione(), 0);
}

// A second signal ends the process by that signal.
TEST(InterruzioneDeathTest, SecondSignalEndsTheProcess) {
  EXPECT_EXIT(
      {
        InstallaGestoreInterruzione();
        std::raise(SIGINT);
        std::raise(SIGINT);
        std::_Exit(0);
      },
      ::testing::KilledBySignal(SIGINT), "");
  AzzeraInterruzione();
}

// The wait between two steps ends as soon as the reply the step armed has come;
// a step that armed nothing still waits its whole period.
class BatchSveglia : public ::testing::Test {
 protected:
  void SetUp() override {
    prova::InstallaLineaFinta(linea);
    interfaccia.ImpostaSveglia(&runner.sveglia);
    int esito = -1;
    ASSERT_EQ(interfaccia.ApriLinea(2, 115200, 0, &esito), 1);
  }
  void TearDown() override {
    runner.Ferma();
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
  }

  std::shared_ptr<prova::StatoLineaFinta> linea = std::make_shared<prova::StatoLineaFinta>();
  RunnerDiProva runner;  // before the interface, which signals its wake-up
  CIntSeriale interfaccia;
};

TEST_F(BatchSveglia, AReplyRightAfterArmingWakesTheWorkerLongBeforeThePeriod) {
  constexpr int kPeriodo = 2000;
  std::atomic<std::int64_t> armatoMs{0}, secondoPassoMs{0};
  std::atomic<int> passi{0};
  std::vector<std::uint8_t> risposta;
  ASSERT_EQ(runner.AvviaWorker(
                [&](int& fase, int& esito) {
                  esito = RC_OK;
                  if (++passi == 1) {
                    const std::uint8_t richiesta[] = {0xFE, 0xC0, 0x03, 0x1C};
                    interfaccia.ScriviLinea(richiesta, 4);
                    interfaccia.AttendiRisposta(4, 1000);
                    armatoMs = MillisecondiMonotoni();
                    linea->Arriva({0x11, 0x22, 0x33, 0x44});  // the board answers at once
                    fase = ST_WAIT_LINK;
                    return true;
                  }
                  secondoPassoMs = MillisecondiMonotoni();
                  std::uint8_t b[4] = {};
                  const int n = interfaccia.LeggiLinea(b, 4);
                  risposta.assign(b, b + n);
                  fase = ST_DONE;
                  return false;
                },
                kPeriodo),
            RC_OK);
  EXPECT_EQ(CBatchProc::AttendiFine(runner), RC_OK);
  EXPECT_EQ(passi.load(), 2);
  // The reply is there when the step after the arming runs, and that step came
  // well inside the period (the period alone would put it 2000 ms later).
  EXPECT_EQ(risposta, (std::vector<std::uint8_t>{0x11, 0x22, 0x33, 0x44}));
  EXPECT_LT(secondoPassoMs - armatoMs, kPeriodo / 4);
}

TEST_F(BatchSveglia, WithoutAnArmedReplyTheWorkerWaitsTheWholePeriod) {
  constexpr int kPeriodo = 300;
  std::atomic<std::int64_t> primoMs{0}, secondoMs{0};
  std::atomic<int> passi{0};
  ASSERT_EQ(runner.AvviaWorker(
                [&](int& fase, int& esito) {
                  esito = RC_OK;
                  fase = ST_SEND_MODULE;
                  if (++passi == 1) {
                    // Bytes the step did not arm for wake nobody.
                    linea->Arriva({0x55});
                    primoMs = MillisecondiMonotoni();
                    return true;
                  }
                  secondoMs = MillisecondiMonotoni();
                  return false;
                },
                kPeriodo),
            RC_OK);
  CBatchProc::AttendiFine(runner);
  EXPECT_GE(secondoMs - primoMs, kPeriodo - 5);
}

TEST_F(BatchSveglia, ASignalOfAnEarlierArmingDoesNotShortenTheNextWait) {
  // The first arming's reply comes while the step is still running; the step
  // takes it, arms again, and nothing of the new reply has come: the wait after
  // it must be the whole period.
  constexpr int kPeriodo = 300;
  std::atomic<std::int64_t> primoMs{0}, secondoMs{0};
  std::atomic<int> passi{0};
  ASSERT_EQ(runner.AvviaWorker(
                [&](int& fase, int& esito) {
                  esito = RC_OK;
                  fase = ST_SEND_MODULE;
                  if (++passi == 1) {
                    interfaccia.AttendiRisposta(2, 1000);
                    linea->Arriva({1, 2});
                    std::uint8_t b[2];
                    int presi = 0;
                    while (presi < 2) {
                      presi += interfaccia.LeggiLinea(b + presi, 2 - presi);
                      Dormi(1);
                    }
                    Dormi(20);  // the receive thread has signalled by now
                    interfaccia.AttendiRisposta(2, 1000);
                    primoMs = MillisecondiMonotoni();
                    return true;
                  }
                  secondoMs = MillisecondiMonotoni();
                  return false;
                },
                kPeriodo),
            RC_OK);
  CBatchProc::AttendiFine(runner);
  EXPECT_GE(secondoMs - primoMs, kPeriodo - 5);
}

}  // namespace
}  // namespace bricola
