#include "app/linea_comando.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/bricola_app.h"

namespace bricola {
namespace {

struct CasoLinea {
  const char* nome;
  std::vector<std::string> argomenti;
  // Expected outcome.
  ModoAvvio modo;
  std::string nomeFile;    // the file name the application takes (confirmed only)
  std::string portaTesto;
  std::string valoreM = "";
  bool caricaSubito = false;
  bool leggiSubito = false;
  bool cancellaChiave = false;
  bool esciAllaFine = false;
  bool registro = false;
};

std::ostream& operator<<(std::ostream& os, const CasoLinea& c) { return os << c.nome; }

class LineaComando : public ::testing::TestWithParam<CasoLinea> {};

TEST_P(LineaComando, FlagsValuesAndFileName) {
  const CasoLinea& c = GetParam();

  CParLineaComando linea;
  LeggiLineaComando(linea, c.argomenti);
  EXPECT_EQ(linea.portaTesto, c.portaTesto);
  EXPECT_EQ(linea.valoreM, c.valoreM);
  EXPECT_EQ(linea.caricaSubito, c.caricaSubito);
  EXPECT_EQ(linea.leggiSubito, c.leggiSubito);
  EXPECT_EQ(linea.cancellaChiave, c.cancellaChiave);
  EXPECT_EQ(linea.esciAllaFine, c.esciAllaFine);
  EXPECT_EQ(linea.registro, c.registro);
  EXPECT_EQ(linea.FileConfermato() ? linea.NomeFile() : std::string(), c.nomeFile);

  CBricolaApp app;
  app.LeggiArgomenti(c.argomenti);
  EXPECT_EQ(app.Modo(), c.modo);
  EXPECT_EQ(app.nomeFile, c.nomeFile);
  EXPECT_EQ(app.portaTesto, c.portaTesto);
  EXPECT_EQ(app.caricaSubito, c.caricaSubito);
  EXPECT_EQ(app.leggiSubito, c.leggiSubito);
  EXPECT_EQ(app.cancellaChiave, c.cancellaChiave);
  EXPECT_EQ(app.esciAllaFine, c.esciAllaFine);
  EXPECT_EQ(app.percorsoRegistro.empty(), !c.registro);
}

using M = ModoAvvio;

const CasoLinea kCasi[] = {
    {"NoArgumentsOpensTheWindow", {}, M::kFinestra, "", ""},
    {"BatchAlone", {"-B"}, M::kBatch, "", ""},
    {"BatchLoadAndReadBothKept", {"-B", "-S", "-R"}, M::kBatch, "", "", "", true, true},
    {"EveryFlag", {"-S", "-R", "-E", "-X", "-L"}, M::kFinestra, "", "", "", true, true, true, true, true},
    {"FirstLetterOnlyBatch", {"-Batch"}, M::kBatch, "", ""},
    {"FirstLetterOnlyLowerCase", {"-batch"}, M::kBatch, "", ""},
    {"SlashBatch", {"/Batch"}, M::kBatch, "", ""},
    {"HelpQuestionMark", {"-?"}, M::kUso, "", ""},
    {"HelpH", {"-H"}, M::kUso, "", ""},
    {"HelpLowerH", {"-h"}, M::kUso, "", ""},
    {"HelpWord", {"-help"}, M::kUso, "", ""},
    {"HelpSlashQuestionMark", {"/?"}, M::kUso, "", ""},
    {"HelpSlashH", {"/H"}, M::kUso, "", ""},
    {"BatchWinsOverHelp", {"-?", "-B"}, M::kBatch, "", ""},
    {"PortValue", {"-C", "3"}, M::kFinestra, "", "3"},
    {"PortValueLowerCase", {"-c", "3"}, M::kFinestra, "", "3"},
    {"PortValueSlash", {"/C", "3"}, M::kFinestra, "", "3"},
    {"PortValueSlashLowerCase", {"/c", "3"}, M::kFinestra, "", "3"},
    {"PortWord", {"-Com", "7"}, M::kFinestra, "", "7"},
    {"PortLastGivesNoValue", {"-B", "-C"}, M::kBatch, "", ""},
    {"PortThenFileTakesBoth", {"-C", "3", "fw.bin"}, M::kFinestra, "fw.bin", "3"},
    {"FileBeforeTrailingPortIsNotConfirmed", {"fw.bin", "-C", "3"}, M::kFinestra, "", "3"},
    {"FileBeforeTrailingPortBatch", {"-B", "-S", "fw.bin", "-C", "3"}, M::kBatch, "", "3", "", true},
    {"FileBeforeTrailingSwitchIsConfirmed", {"fw.bin", "-B"}, M::kBatch, "fw.bin", ""},
    {"FileBeforeBarePortSwitchIsConfirmed", {"fw.bin", "-C"}, M::kFinestra, "fw.bin", ""},
    {"OtherSwitchCancelsPendingValue", {"-C", "-B", "3"}, M::kBatch, "3", ""},
    {"UnknownSwitchCancelsPendingValue", {"-C", "-Q", "3"}, M::kFinestra, "3", ""},
    {"UnknownSwitchHasNoEffect", {"-Q", "-Z"}, M::kFinestra, "", ""},
    {"BareDashHasNoEffect", {"-", "fw.bin"}, M::kFinestra, "fw.bin", ""},
    {"LaterPortValueReplaces", {"-C", "3", "-C", "5"}, M::kFinestra, "", "5"},
    {"EmptyPortValue", {"-C", ""}, M::kFinestra, "", ""},
    {"NonNumericPortValueKeptAsTyped", {"-C", "abc"}, M::kFinestra, "", "abc"},
    {"MValueConsumed", {"-M", "valore", "fw.bin"}, M::kFinestra, "fw.bin", "", "valore"},
    {"MValueLowerCase", {"-m", "v"}, M::kFinestra, "", "", "v"},
    {"TrailingMValueLeavesFileUnconfirmed", {"fw.bin", "-M", "v"}, M::kFinestra, "", "", "v"},
    {"SecondFileIgnored", {"a.bin", "b.bin"}, M::kFinestra, "a.bin", ""},
    {"PortSwitchAfterFileAndValueBeforeIt", {"-C", "3", "a.bin", "-X"}, M::kFinestra, "a.bin", "3",
     "", false, false, false, true},
    // Absolute paths on this system begin with '/': they are file names, not switches.
    {"AbsolutePathIsFileNotHelp", {"/home/tech/fw.bin"}, M::kFinestra, "/home/tech/fw.bin", ""},
    {"AbsolutePathAfterBatch", {"-B", "-S", "/home/tech/fw.bin"}, M::kBatch, "/home/tech/fw.bin",
     "", "", true},
    {"AbsolutePathAsPortValue", {"-C", "/dev/ttyS0"}, M::kFinestra, "", "/dev/ttyS0"},
    {"AbsolutePathBeginningWithSwitchLetter", {"/batch/fw.bin"}, M::kFinestra, "/batch/fw.bin", ""},
    {"RelativePathIsFile", {"dir/fw.bin"}, M::kFinestra, "dir/fw.bin", ""},
    {"DashPathIsSwitch", {"-B/x"}, M::kBatch, "", ""},
    {"LogSwitchAlone", {"-L"}, M::kFinestra, "", "", "", false, false, false, false, true},
    {"LogWord", {"/Log", "-B"}, M::kBatch, "", "", "", false, false, false, false, true},
};

INSTANTIATE_TEST_SUITE_P(Casi, LineaComando, ::testing::ValuesIn(kCasi),
                         [](const auto& caso) { return std::string(caso.param.nome); });

TEST(Interruttore, SlashRuleKeepsAbsolutePathsAsFileNames) {
  struct {
    const char* argomento;
    bool interruttore;
  } const casi[] = {
      {"-B", true},          {"-", true},           {"-/x/y", true},
      {"/B", true},          {"/Batch", true},      {"/c", true},
      {"/", true},           {"/?", true},          {"/home/tech/fw.bin", false},
      {"/tmp/", false},      {"//", false},         {"fw.bin", false},
      {"3", false},          {"", false},           {"./fw.bin", false},
  };
  for (const auto& c : casi) {
    EXPECT_EQ(EInterruttore(c.argomento), c.interruttore) << "'" << c.argomento << "'";
  }
}

// The file name counts only when the last argument was handled by the generic part.
TEST(InfoLineaComando, ConfirmsOnlyWhenItHandlesTheLastArgument) {
  CInfoLineaComando info;
  info.ParseParam("a.bin", false, false);
  EXPECT_EQ(info.NomeFile(), "a.bin");
  EXPECT_FALSE(info.FileConfermato());
  info.ParseParam("b.bin", false, true);
  EXPECT_EQ(info.NomeFile(), "a.bin");
  EXPECT_TRUE(info.FileConfermato());

  CInfoLineaComando senzaFile;
  senzaFile.ParseParam("B", true, true);
  EXPECT_FALSE(senzaFile.FileConfermato());
}

}  // namespace
}  // namespace bricola
