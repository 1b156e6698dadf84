#include "app/batch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "base/esiti.h"
#include "cartella_prova.h"
#include "platform/sistema.h"

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

}  // namespace
}  // namespace bricola
