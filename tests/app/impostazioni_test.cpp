// Stored settings: location, defaults, what is written and when.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/impostazioni.h"
#include "app/porte.h"
#include "cartella_prova.h"

namespace bricola {
namespace {

// Runs with HOME and XDG_CONFIG_HOME pointing into a fresh directory.
class Impostazioni : public ::testing::Test {
 protected:
  void SetUp() override {
    Salva("HOME");
    Salva("XDG_CONFIG_HOME");
    ::setenv("HOME", cartella.Percorso().c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", cartella.File("config").c_str(), 1);
    ImpostaAziendaImpostazioni("Corvanti");
    ImpostaNomeProgramma("bricola");
  }
  void TearDown() override {
    for (const auto& [nome, valore] : salvate) {
      if (valore.first) {
        ::setenv(nome.c_str(), valore.second.c_str(), 1);
      } else {
        ::unsetenv(nome.c_str());
      }
    }
  }
  void Salva(const std::string& nome) {
    const char* v = std::getenv(nome.c_str());
    salvate[nome] = {v != nullptr, v != nullptr ? v : ""};
  }
  std::string File() { return PercorsoImpostazioni(); }
  void ScriviFile(const std::string& testo) {
    std::filesystem::create_directories(std::filesystem::path(File()).parent_path());
    std::ofstream(File(), std::ios::binary) << testo;
  }

  prova::CartellaProva cartella;
  std::map<std::string, std::pair<bool, std::string>> salvate;
};

TEST_F(Impostazioni, FileLocation) {
  EXPECT_EQ(File(), cartella.File("config/Corvanti/bricola.ini"));
  ImpostaNomeProgramma("/usr/local/bin/bricola-sim");
  EXPECT_EQ(File(), cartella.File("config/Corvanti/bricola-sim.ini"));
  ::unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(File(), cartella.File(".config/Corvanti/bricola-sim.ini"));
  ::setenv("XDG_CONFIG_HOME", "relativa", 1);  // not absolute: ignored
  EXPECT_EQ(File(), cartella.File(".config/Corvanti/bricola-sim.ini"));
  ::setenv("XDG_CONFIG_HOME", "", 1);
  EXPECT_EQ(File(), cartella.File(".config/Corvanti/bricola-sim.ini"));
}

TEST_F(Impostazioni, FirstRunGivesDefaultsAndWritesNothing) {
  CImpostazioni valori;
  valori.porta = 9;
  valori.connessione = 5;
  valori.fileRecenti[3] = "x";
  valori.Leggi();
  EXPECT_EQ(valori.porta, 0);
  for (const auto& f : valori.fileRecenti) EXPECT_EQ(f, "");
  EXPECT_EQ(valori.indirizzoCan, "");
  EXPECT_EQ(valori.connessione, 0);  // local
  EXPECT_EQ(valori.selezione, 0);
  EXPECT_EQ(valori.telefonoMittente, "");
  EXPECT_EQ(valori.passwordBatteria, "");
  const CImpostazioni iniziali = valori;
  EXPECT_EQ(valori.ScriviCambiati(iniziali), 0);
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(Impostazioni, OnlyTheChangedPortIsWritten) {
  CImpostazioni iniziali;
  iniziali.Leggi();
  CImpostazioni attuali = iniziali;
  attuali.porta = 2;
  EXPECT_EQ(attuali.ScriviCambiati(iniziali), 1);
  const std::string testo = prova::LeggiTutto(File());
  EXPECT_EQ(testo, "[Settings]\nPorta=2\n");
}

TEST_F(Impostazioni, EveryValueRoundTrips) {
  CImpostazioni iniziali;
  CImpostazioni attuali;
  attuali.porta = 61;
  attuali.fileRecenti = {"/home/tecnico/img/a.bin", "b, c.bin", "perché.bin", "d=e.bin", "", "f;g.bin",
                         " spazio .bin", "#h.bin"};
  attuali.indirizzoCan = "1A";
  attuali.connessione = 1;
  attuali.selezione = 1;
  attuali.telefonoMittente = "+39 02 1234";
  attuali.telefonoDestinatario = "333\"444";
  attuali.passwordConnessione = "p[1]";
  attuali.passwordBatteria = "\\x";
  EXPECT_EQ(attuali.ScriviCambiati(iniziali), 15);  // every value but the unchanged empty "File4"
  CImpostazioni letti;
  letti.Leggi();
  EXPECT_EQ(letti.porta, attuali.porta);
  EXPECT_EQ(letti.fileRecenti, attuali.fileRecenti);
  EXPECT_EQ(letti.indirizzoCan, attuali.indirizzoCan);
  EXPECT_EQ(letti.connessione, 1);
  EXPECT_EQ(letti.selezione, 1);
  EXPECT_EQ(letti.telefonoMittente, attuali.telefonoMittente);
  EXPECT_EQ(letti.telefonoDestinatario, attuali.telefonoDestinatario);
  EXPECT_EQ(letti.passwordConnessione, attuali.passwordConnessione);
  EXPECT_EQ(letti.passwordBatteria, attuali.passwordBatteria);

  CImpostazioni batch;
  batch.LeggiBatch();
  EXPECT_EQ(batch.porta, 61);
  EXPECT_EQ(batch.fileRecenti[0], "/home/tecnico/img/a.bin");
  EXPECT_EQ(batch.fileRecenti[1], "");  // batch reads "Porta" and "File" only
  EXPECT_EQ(batch.indirizzoCan, "");

  // Strings compare exactly, case included.
  CImpostazioni dopo = letti;
  dopo.indirizzoCan = "1a";
  EXPECT_EQ(dopo.ScriviCambiati(letti), 1);
  EXPECT_EQ(LeggiImpostazioneStringa(kValoreIndirizzoCan, ""), "1a");
}

TEST_F(Impostazioni, HandWrittenValues) {
  ScriviFile("[Settings]\nPorta=abc\nConnessione= 1 \nFile=/a/b, c.bin\nSelezione=2x\n[Other]\nPorta=5\n");
  CImpostazioni v;
  v.Leggi();
  EXPECT_EQ(v.porta, 0);  // not a number: the default
  EXPECT_EQ(v.connessione, 1);
  EXPECT_EQ(v.fileRecenti[0], "/a/b, c.bin");
  EXPECT_EQ(v.selezione, 0);
}

TEST_F(Impostazioni, CorrectedPortIsWrittenBack) {
  ScriviFile("[Settings]\nPorta=7\nFile=/img/x.bin\n");
  CImpostazioni iniziali;
  iniziali.Leggi();
  ASSERT_EQ(iniziali.porta, 7);
  CMainProc porte;
  porte.sorgentePorte = [] {
    MappaPorte m;
    for (int n : {1, 2, 3, 4}) m.com[n] = "/dev/ttyS" + std::to_string(n - 1);
    return m;
  };
  porte.EnumeraPorte();
  porte.ScegliPorta("", iniziali.porta);
  ASSERT_EQ(porte.codicePorta, 0);  // 7 does not fit four COM ports
  CImpostazioni attuali = iniziali;
  attuali.porta = porte.codicePorta;
  EXPECT_EQ(attuali.ScriviCambiati(iniziali), 1);
  EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), 0);
  EXPECT_EQ(LeggiImpostazioneStringa(kValoreFile, ""), "/img/x.bin");
}

TEST_F(Impostazioni, CorruptFileGivesDefaultsAndIsOnlyReplacedByChangedValues) {
  const std::string guasto = std::string("[Settings\nPorta=3\n\x01\x02\xff\xfe=\n[", 25) + std::string("\0\0garbage", 9);
  ScriviFile(guasto);
  CImpostazioni v;
  v.Leggi();
  EXPECT_EQ(v.porta, 0);
  const CImpostazioni iniziali = v;
  EXPECT_EQ(v.ScriviCambiati(iniziali), 0);
  EXPECT_EQ(prova::LeggiTutto(File()), guasto);
  CImpostazioni attuali = iniziali;
  attuali.porta = 4;
  EXPECT_EQ(attuali.ScriviCambiati(iniziali), 1);
  EXPECT_EQ(prova::LeggiTutto(File()), "[Settings]\nPorta=4\n");
  EXPECT_EQ(prova::LeggiTutto(File() + ".guasto"), guasto);  // nothing of it is lost
}

TEST_F(Impostazioni, FileShapesTakenAsCorrupt) {
  const char* casi[] = {
      "[Settings]\nPorta=3\ngarbage line\n",        // a line that is no pair
      "[Settings]\nPorta=3\n=5\n",                  // a value without a name
      "[Settings\nPorta=3\n",                       // an unclosed header
      "[Settings]\nPorta=3\nFile=\xc3\x28\n",        // not UTF-8
      "[Settings]\nPorta=3\nFile=a\x01b\n",         // a control character
  };
  for (const char* testo : casi) {
    ScriviFile(testo);
    EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), -1) << testo;
  }
  // Comments, blanks, CR LF line ends and spaces around are sound.
  ScriviFile("; Bricola\r\n\r\n# ports below\r\n[Settings]\r\n  Porta = 3 \r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n");
  EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), 3);
}

// '#' starts a comment as ';' does, wherever the line stands: the values
// around it read, reading leaves the file as it is, and a write succeeds and
// keeps the other values.
TEST_F(Impostazioni, HashCommentsDoNotSpoilReadingOrWriting) {
  // A lone CR ends a line too.
  const std::string testo = "# made by hand\r# more\n[Settings]\nPorta=3\n  # the image\nFile=/a/fw.bin\n[Bootstrap]\n#\nDirectory=/r\n";
  ScriviFile(testo);
  EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), 3);
  EXPECT_EQ(LeggiImpostazioneStringa(kValoreFile, "-"), "/a/fw.bin");
  EXPECT_EQ(LeggiImpostazioneSezione(kSezioneBootstrap, kValoreCartellaBootstrap, "-"), "/r");
  EXPECT_EQ(prova::LeggiTutto(File()), testo);
  // No copy is left beside the file.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(std::filesystem::path(File()).parent_path()),
                          std::filesystem::directory_iterator()),
            1);

  EXPECT_TRUE(ScriviImpostazioneIntero(kValorePorta, 5));
  EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), 5);
  EXPECT_EQ(LeggiImpostazioneStringa(kValoreFile, "-"), "/a/fw.bin");
  EXPECT_EQ(LeggiImpostazioneSezione(kSezioneBootstrap, kValoreCartellaBootstrap, "-"), "/r");
  EXPECT_FALSE(std::filesystem::exists(File() + ".guasto"));
}

// Names the INI reader cannot parse ('"' or ';' in them) make the file
// corrupt: defaults, and the first write keeps it whole aside and succeeds.
TEST_F(Impostazioni, NamesTheIniReaderRefusesMakeTheFileCorrupt) {
  for (const std::string testo : {"[Settings]\nPorta=3\nFile\"=x\n", "[Settings]\nPorta=3\nA;b=x\n",
                                   "[Settings]\nPorta=3\nA=b\rgarbage\n"}) {
    std::filesystem::remove(File() + ".guasto");
    ScriviFile(testo);
    EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), -1) << testo;
    EXPECT_TRUE(ScriviImpostazioneIntero(kValorePorta, 5)) << testo;
    EXPECT_EQ(LeggiImpostazioneIntero(kValorePorta, -1), 5) << testo;
    EXPECT_EQ(prova::LeggiTutto(File() + ".guasto"), testo);
  }
}

TEST_F(Impostazioni, UnreadableFileGivesDefaultsWithoutCrash) {
  // A directory where the file should be: it can be neither read nor written.
  std::filesystem::create_directories(File());
  CImpostazioni v;
  v.Leggi();
  EXPECT_EQ(v.porta, 0);
  CImpostazioni attuali = v;
  attuali.porta = 3;
  EXPECT_EQ(attuali.ScriviCambiati(v), 0);  // the write failed and says so
  EXPECT_TRUE(std::filesystem::is_directory(File()));
}

}  // namespace
}  // namespace bricola
