// The boot check job over the real serial interface (receive thread included),
// with the scripted machine behind a port back-end in memory.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "base/esiti.h"
#include "comm/porta_seriale.h"
#include "jobs/verifica_boot.h"
#include "platform/linea_seriale.h"
#include "tests/load/scheda_finta.h"

namespace bricola {
namespace {

// Real time, but sleeps cost nothing: the reset pulse and its waits pass at once.
class COrologioSenzaAttese : public COrologio {
 public:
  std::int64_t Millisecondi() override { return OrologioDiSistema().Millisecondi() + saltati; }
  void Dormi(int ms) override { saltati += ms; }
  std::int64_t saltati = 0;
};

struct SMacchina {
  std::mutex mutex;
  prova::CSchedaFinta scheda{OrologioDiSistema()};
  int baud = 0;
  bool dtr = false;
};

class CLineaMacchina final : public LineaSeriale {
 public:
  CLineaMacchina(std::shared_ptr<SMacchina> m, int baud) : macchina(std::move(m)) {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->baud = baud;
  }
  int Scrivi(const std::uint8_t* dati, int n) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->scheda.Ricevi(dati, n, macchina->baud);
    return n;
  }
  int Leggi(std::uint8_t* buffer, int n, int timeoutMs) override {
    const auto fine = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int presi = 0;
    for (;;) {
      {
        std::lock_guard<std::mutex> g(macchina->mutex);
        presi += macchina->scheda.Prendi(buffer + presi, n - presi);
      }
      if (presi == n || std::chrono::steady_clock::now() >= fine) return presi;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool ImpostaBaud(int baud) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->baud = baud;
    return true;
  }
  bool ImpostaBitStop(int) override { return true; }
  bool ImpostaDtr(bool alto) override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    if (macchina->dtr && !alto) macchina->scheda.Reset();
    macchina->dtr = alto;
    return true;
  }
  bool ImpostaRts(bool) override { return true; }
  bool SvuotaIngresso() override {
    std::lock_guard<std::mutex> g(macchina->mutex);
    macchina->scheda.Svuota();
    return true;
  }

 private:
  std::shared_ptr<SMacchina> macchina;
};

class VerificaBoot : public ::testing::Test {
 protected:
  void SetUp() override {
    ImpostaApritorePorta([this](int numero, int baud, bool, bool) -> std::unique_ptr<LineaSeriale> {
      if (numero != 3) return nullptr;
      return std::make_unique<CLineaMacchina>(macchina, baud);
    });
    verifica.ImpostaPorta(2);
    verifica.loader.ImpostaOrologio(&orologio);
  }
  void TearDown() override {
    int esito = 0;
    verifica.Ferma(&esito);
    ImpostaApritorePorta(nullptr);
  }

  // Runs the check to its end (at most 20 s of real time).
  int Esegui(std::uint16_t* codice, std::string* versione, int* fase) {
    int esito = 0, aggiorna = 0;
    const auto limite = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (verifica.Passo(&aggiorna, fase, &esito, codice, versione)) {
      if (std::chrono::steady_clock::now() > limite) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return esito;
  }

  std::shared_ptr<SMacchina> macchina = std::make_shared<SMacchina>();
  COrologioSenzaAttese orologio;
  CVerificaBoot verifica;
};

TEST_F(VerificaBoot, SchedaLocale) {
  macchina->scheda.locale.codice = 0x1234;
  macchina->scheda.locale.versione = 0x31;
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 1);
  EXPECT_EQ(periodo, 10);
  EXPECT_EQ(fase, ST_WAIT_LINK);
  EXPECT_EQ(verifica.InCorso(), 1);
  std::uint16_t codice = 0;
  std::string versione;
  EXPECT_EQ(Esegui(&codice, &versione, &fase), RC_OK);
  EXPECT_EQ(fase, ST_DONE);
  EXPECT_EQ(codice, 0x1234);
  EXPECT_EQ(versione, "3.1");
  EXPECT_EQ(verifica.InCorso(), 0);
  // The interface was closed: the port can be opened again.
  EXPECT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 1);
}

TEST_F(VerificaBoot, SchedaRemota) {
  macchina->scheda.remote[0x482] = prova::SScheda{};
  macchina->scheda.remote[0x482].codice = 0x0042;
  macchina->scheda.remote[0x482].versione = 0x63;
  macchina->scheda.remote[0x482].micro = 2;
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(verifica.Avvia(0x482, &periodo, &fase, &esito), 1);
  std::uint16_t codice = 0;
  std::string versione;
  EXPECT_EQ(Esegui(&codice, &versione, &fase), RC_OK);
  EXPECT_EQ(fase, ST_DONE);
  EXPECT_EQ(codice, 0x0042);
  EXPECT_EQ(versione, "6.3");
  const auto s = macchina->scheda.Sequenza();
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s[0], kSetRemoto);
  EXPECT_EQ(s[1], kReboot);
}

TEST_F(VerificaBoot, VersioneMaiArrivata) {
  macchina->scheda.locale.codice = 0x0010;
  macchina->scheda.guasti = {{kGetVersione, 1, prova::Guasto::Controllo}};
  int periodo = 0, fase = 0, esito = -1;
  ASSERT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 1);
  std::uint16_t codice = 0;
  std::string versione;
  // The board gave its machine code: the check succeeds, the version is unknown.
  EXPECT_EQ(Esegui(&codice, &versione, &fase), RC_OK);
  EXPECT_EQ(fase, ST_DONE);
  EXPECT_EQ(codice, 0x0010);
  EXPECT_EQ(versione, "2.x");
}

TEST_F(VerificaBoot, AvviiEFermiFuoriTempo) {
  int periodo = 0, fase = 0, esito = -1;
  EXPECT_EQ(verifica.Ferma(&esito), 0);
  EXPECT_EQ(esito, RC_NOT_RUNNING);
  ASSERT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 1);
  EXPECT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 0);
  EXPECT_EQ(esito, RC_ALREADY_RUNNING);
  EXPECT_EQ(verifica.Ferma(&esito), 1);
  EXPECT_EQ(esito, RC_OK);

  verifica.ImpostaPorta(7);  // nothing behind COM8
  EXPECT_EQ(verifica.Avvia(0, &periodo, &fase, &esito), 0);
  EXPECT_EQ(esito, RC_PORT_OPEN);
  EXPECT_EQ(verifica.InCorso(), 0);
}

}  // namespace
}  // namespace bricola
