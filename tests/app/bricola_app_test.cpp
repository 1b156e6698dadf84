#include "app/bricola_app.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "base/esiti.h"
#include "cartella_prova.h"
#include "platform/sistema.h"

namespace bricola {
namespace {

// The usage text, line by line; every line ends with CR LF.
const char* const kRigheUso[] = {
    "Bricola [-?] [-C {Com}] [-B] [-E] [-L] [-R] [-X] [\"{Filename}\"]",
    "  Manage flash programming for Tarvolinx vending machines.",
    "",
    "Usage:",
    "  [-?]",
    "              Show this information.",
    "  [-B]",
    "              Batch mode.",
    "  [-S]",
    "              Start the loading process immediately.",
    "  [-R]",
    "              Start the reading process immediately.",
    "  [-E]",
    "              Erase the content of the Memox.",
    "  [-X]",
    "              Exit at the end of process, if no errors.",
    "  [-C {Com}]",
    "              Select communication port n (COMn), 50+n (LPTn), 61 (USB).",
    "  [-L]",
    "              Generate log file for troubleshooting pourpose.",
};

std::string UsoAtteso() {
  std::string s;
  for (const char* r : kRigheUso) s += std::string(r) + "\r\n";
  return s;
}

TEST(TestoUso, TwentyLinesEachEndedByCrLf) {
  EXPECT_EQ(std::size(kRigheUso), 20u);
  EXPECT_EQ(std::string(kTestoUso), UsoAtteso());
}

TEST(PercorsoRegistroDiAvvio, TemporaryDirectoryAndStartDate) {
  EXPECT_EQ(PercorsoRegistro("/tmp", OraLocale{2016, 4, 19, 23, 59, 59}),
            "/tmp/BricolaLog20160419.txt");
  EXPECT_EQ(PercorsoRegistro("/var/tmp/", OraLocale{2026, 12, 1, 0, 0, 0}),
            "/var/tmp/BricolaLog20261201.txt");
  EXPECT_EQ(PercorsoRegistro("/", OraLocale{999, 1, 2, 0, 0, 0}), "/BricolaLog09990102.txt");
}

// Sets TMPDIR for one test and puts the old value back.
class TmpdirProva {
 public:
  explicit TmpdirProva(const std::string& valore) {
    if (const char* v = std::getenv("TMPDIR")) vecchio = v, cera = true;
    ::setenv("TMPDIR", valore.c_str(), 1);
  }
  ~TmpdirProva() {
    if (cera) ::setenv("TMPDIR", vecchio.c_str(), 1);
    else ::unsetenv("TMPDIR");
  }

 private:
  std::string vecchio;
  bool cera = false;
};

TEST(AvvioApplicazione, LogPathOnlyWithL) {
  prova::CartellaProva cartella;
  TmpdirProva tmpdir(cartella.Percorso());
  {
    CBricolaApp app;
    app.LeggiArgomenti(std::vector<std::string>{"-B"});
    EXPECT_EQ(app.percorsoRegistro, "");
  }
  CBricolaApp app;
  const OraLocale prima = OraAttuale();
  app.LeggiArgomenti(std::vector<std::string>{"-L"});
  const OraLocale dopo = OraAttuale();
  EXPECT_TRUE(app.percorsoRegistro == PercorsoRegistro(cartella.Percorso(), prima) ||
              app.percorsoRegistro == PercorsoRegistro(cartella.Percorso(), dopo))
      << app.percorsoRegistro;
}

TEST(AvvioApplicazione, OverlongTemporaryDirectoryFallsBackToTmp) {
  TmpdirProva tmpdir("/" + std::string(600, 'x'));
  CBricolaApp app;
  app.LeggiArgomenti(std::vector<std::string>{"-L"});
  EXPECT_EQ(app.percorsoRegistro.rfind("/tmp/BricolaLog", 0), 0u) << app.percorsoRegistro;
}

TEST(AvvioApplicazione, ModesAndTheirResults) {
  prova::CartellaProva cartella;
  TmpdirProva tmpdir(cartella.Percorso());
  struct {
    std::vector<std::string> argomenti;
    int esito;
    bool conUso;
    bool conErrore;
  } const casi[] = {
      // Batch mode ends with one line of outcome on the error stream.
      {{"-B"}, RC_NO_OPERATION, false, true},
      {{"-B", "-?"}, RC_NO_OPERATION, false, true},
      {{"-B", "-S", "-C", "3", "fw.bin"}, RC_FILE_OPEN, false, true},
      // The stored port is the first COM port: the key jobs refuse it.
      {{"-B", "-R"}, RC_PORT_OPEN, false, true},
      {{"-B", "-E"}, RC_PORT_OPEN, false, true},
      {{"-?"}, 0, true, false},
      {{"/h"}, 0, true, false},
      {{}, 1, false, true},
      {{"/home/tech/fw.bin"}, 1, false, true},
  };
  for (const auto& c : casi) {
    CBricolaApp app;
    std::ostringstream uscita, errori;
    const int esito = app.Esegui(c.argomenti, uscita, errori);
    const std::string riga = ::testing::PrintToString(c.argomenti);
    EXPECT_EQ(esito, c.esito) << riga;
    EXPECT_EQ(uscita.str(), c.conUso ? UsoAtteso() : "") << riga;
    EXPECT_EQ(!errori.str().empty(), c.conErrore) << riga;
    if (app.Modo() == ModoAvvio::kBatch) {
      EXPECT_EQ(app.esitoBatch, c.esito) << riga;
    }
  }
  EXPECT_TRUE(cartella.Vuota());  // no -L, no log
}

}  // namespace
}  // namespace bricola
