// The directory-tree loader: packed trees unpacked into a directory, names and
// contents deciphered, and every entry that would land outside its target
// directory refused before anything of it is written.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "base/esiti.h"
#include "image/analisi.h"
#include "key/load_tree.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

namespace fs = std::filesystem;
using prova::Byte;
using prova::CImmagine;
using prova::SVoceAlbero;

class LoadTree : public ::testing::Test {
 protected:
  void SetUp() override { loader.ImpostaFileRegistro(cartella.File("log.txt")); }

  // A class-9 module holding the tree; the header record stands before the tree
  // when headerPrima, else after it.
  void ScriviAlbero(const std::optional<std::string>& cartellaAlbero, const std::vector<SVoceAlbero>& voci,
                    bool headerPrima = true) {
    CImmagine img;
    prova::SIntestazione h;
    h.tipoModulo = MODULO_MMI;
    h.nome = "albero";
    if (headerPrima) img.Intestazione(h);
    img.Dati(0, prova::BloccoDescrizione(0, cartellaAlbero, voci));
    if (!headerPrima) img.Intestazione(h);
    img.Fine(0x1234);
    immagine = cartella.File("tree.bin");
    ASSERT_TRUE(img.Scrivi(immagine));
    fine = img.Posizione() - 4;
  }
  int Avvia(int tipoModulo = MODULO_MMI) {
    esito = -1;
    return loader.Avvia(immagine, 0, fine, 0x1234, nullptr, tipoModulo, 3, 0, nullptr, 0, nullptr, 0, &esito);
  }
  int Esegui() {
    int aggiorna = 0;
    int passi = 1;
    while (loader.Passo(&aggiorna)) ++passi;
    return passi;
  }
  std::string Registro() {
    const Byte b = prova::LeggiFile(cartella.File("log.txt"));
    return std::string(b.begin(), b.end());
  }
  // Every path below the scratch folder, relative to it.
  std::vector<std::string> Contenuto() {
    std::vector<std::string> r;
    for (const auto& e : fs::recursive_directory_iterator(cartella.Percorso())) {
      const std::string p = fs::relative(e.path(), cartella.Percorso()).string();
      if (p != "log.txt" && p != "tree.bin") r.push_back(p);
    }
    std::sort(r.begin(), r.end());
    return r;
  }

  prova::CCartellaTemporanea cartella;
  std::string immagine;
  std::uint32_t fine = 0;
  CLoadTree loader;
  int esito = -1;
};

TEST_F(LoadTree, UnpacksDirectoriesAndFilesWithTheirContents) {
  const Byte grande = prova::Schema(1500, 3);  // more than two 512-byte pieces
  ScriviAlbero("ignored", {{"cfg", true, {}},
                           {"cfg\\a.txt", false, {'h', 'i'}},
                           {"img/deep\\/pic.bin", false, grande},
                           {"vuoto.dat", false, {}}});
  loader.ImpostaNome(cartella.File("out\\mmi").c_str());
  std::FILE* nomi = std::tmpfile();
  loader.ImpostaUscitaNomi(nomi);
  loader.ImpostaOpzione(1);
  ASSERT_TRUE(Avvia());
  EXPECT_EQ(esito, RC_OK);
  EXPECT_EQ(loader.fase, ST_WAIT_LINK);
  EXPECT_GT(loader.byteTotali, 1502);
  EXPECT_EQ(Esegui(), 5);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(loader.esito, RC_OK);
  // Progress counts contents only: the directory adds nothing.
  EXPECT_EQ(loader.byteFatti, 1502);
  EXPECT_EQ(prova::LeggiFile(cartella.File("out/mmi/cfg/a.txt")), (Byte{'h', 'i'}));
  EXPECT_EQ(prova::LeggiFile(cartella.File("out/mmi/img/deep/pic.bin")), grande);
  EXPECT_TRUE(fs::is_regular_file(cartella.File("out/mmi/vuoto.dat")));
  EXPECT_EQ(fs::file_size(cartella.File("out/mmi/vuoto.dat")), 0u);
  std::rewind(nomi);
  char testo[256] = {};
  const std::size_t n = std::fread(testo, 1, sizeof testo - 1, nomi);
  std::fclose(nomi);
  EXPECT_EQ(std::string(testo, n), "cfg\ncfg/a.txt\nimg/deep/pic.bin\nvuoto.dat\n");
  loader.Termina();
}

TEST_F(LoadTree, TheDescriptionIsTheDefaultDirectoryAndTerminaForgetsTheGivenOne) {
  ScriviAlbero(cartella.File("predefinita"), {{"f", false, {1}}}, false);
  loader.ImpostaNome(cartella.File("scelta").c_str());
  ASSERT_TRUE(Avvia());
  Esegui();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_TRUE(fs::exists(cartella.File("scelta/f")));
  loader.Termina();
  ASSERT_TRUE(Avvia());
  EXPECT_EQ(loader.CartellaPredefinita(), cartella.File("predefinita"));
  Esegui();
  EXPECT_TRUE(fs::exists(cartella.File("predefinita/f")));
  loader.Termina();
}

TEST_F(LoadTree, ATreeWithOnlyItsDescriptionCreatesTheDirectory) {
  ScriviAlbero(cartella.File("a\\b/c"), {});
  ASSERT_TRUE(Avvia());
  EXPECT_EQ(loader.byteTotali, 0);
  EXPECT_EQ(Esegui(), 1);
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_TRUE(fs::is_directory(cartella.File("a/b/c")));
}

TEST_F(LoadTree, StartRefusals) {
  ScriviAlbero(cartella.File("x"), {{"f", false, {1}}});
  EXPECT_FALSE(Avvia(MODULO_DATA));
  EXPECT_EQ(esito, RC_MODULE_TYPE);
  // No description and no name: nowhere to unpack to.
  ScriviAlbero(std::nullopt, {{"f", false, {1}}});
  EXPECT_FALSE(Avvia());
  EXPECT_EQ(esito, RC_MODULE_CORRUPT);
  // A block of another format.
  CImmagine img;
  Byte blocco = prova::BloccoDescrizione(0, cartella.File("x"), {});
  blocco[8] = 1;
  img.Dati(0, blocco).Fine(0x1234);
  ASSERT_TRUE(img.Scrivi(immagine));
  EXPECT_FALSE(Avvia());
  EXPECT_EQ(esito, RC_MODULE_CORRUPT);
  EXPECT_NE(Registro().find("errore scansione blocchi file"), std::string::npos);
  // No such image file.
  immagine = cartella.File("none.bin");
  EXPECT_FALSE(Avvia());
  EXPECT_EQ(esito, RC_FILE_OPEN);
  EXPECT_NE(Registro().find("errore apertura file"), std::string::npos);
  EXPECT_EQ(Contenuto(), std::vector<std::string>{});
}

TEST(PercorsoRelativo, SeparatorsDotsAndTheWayOut) {
  struct {
    const char* nome;
    std::optional<std::string> atteso;
  } const casi[] = {
      {"a.txt", "a.txt"},
      {"sub\\a.txt", "sub/a.txt"},
      {"sub\\/a.txt", "sub/a.txt"},
      {"./sub//a", "sub/a"},
      {"sub/../x", "x"},
      {"sub", "sub"},
      {"..\\x", std::nullopt},
      {"../x", std::nullopt},
      {"..", std::nullopt},
      {"sub/../../x", std::nullopt},
      {"a/b/../../../x", std::nullopt},
      {"/etc/x", std::nullopt},
      {"\\etc\\x", std::nullopt},
      {"C:\\x", std::nullopt},
      {"c:x", std::nullopt},
  };
  for (const auto& c : casi) EXPECT_EQ(PercorsoRelativoSicuro(c.nome), c.atteso) << c.nome;
}

TEST_F(LoadTree, EveryWayOutOfTheTargetIsRefusedAndNothingLandsOutside) {
  const std::string fuori = cartella.File("fuori");
  const std::string fuoriAssoluto = cartella.File("assoluto");
  std::string fuoriRovescio = cartella.File("rovescio");
  for (char& c : fuoriRovescio) {
    if (c == '/') c = '\\';
  }
  const struct {
    const char* nome;
    std::string voce;
  } casi[] = {
      {"dot-dot backslash", "..\\fuori"},
      {"dot-dot slash", "../fuori"},
      {"climbing after a subdirectory", "sub/../../fuori"},
      {"absolute, forward slashes", fuoriAssoluto + "/x"},
      {"absolute, backslashes", fuoriRovescio + "\\x"},
  };
  for (const auto& c : casi) {
    for (const bool cartellaVoce : {false, true}) {
      fs::remove_all(cartella.File("dentro"));
      ScriviAlbero(cartella.File("dentro"), {{"ok.txt", false, {1}}, {c.voce, cartellaVoce, {2, 3}}, {"dopo", false, {4}}});
      ASSERT_TRUE(Avvia()) << c.nome;
      Esegui();
      EXPECT_EQ(loader.fase, ST_FAILED) << c.nome;
      EXPECT_EQ(loader.esito, RC_BLOCK_WRITE) << c.nome;
      loader.Termina();
      // The entry before it was unpacked; nothing of it or after it was.
      EXPECT_EQ(Contenuto(), (std::vector<std::string>{"dentro", "dentro/ok.txt"})) << c.nome;
      std::string nome = c.voce;
      NormalizzaSeparatori(nome);
      EXPECT_NE(Registro().find("voce fuori dalla cartella di destinazione rifiutata: " + nome), std::string::npos)
          << c.nome;
    }
  }
}

TEST_F(LoadTree, AClimbThatStaysInsideIsUnpacked) {
  ScriviAlbero(cartella.File("dentro"), {{"sub/../x.txt", false, {9}}});
  ASSERT_TRUE(Avvia());
  Esegui();
  EXPECT_EQ(loader.fase, ST_DONE);
  EXPECT_EQ(prova::LeggiFile(cartella.File("dentro/x.txt")), (Byte{9}));
}

TEST_F(LoadTree, AnEntryRunningPastTheTreeIsRefused) {
  CImmagine img;
  prova::SIntestazione h;
  h.tipoModulo = MODULO_MMI;
  img.Intestazione(h);
  Byte blocco = prova::BloccoDescrizione(0, cartella.File("dentro"), {{"f", false, {1, 2, 3, 4}}});
  blocco.resize(blocco.size() - 2);  // the content is cut short
  img.Dati(0, blocco).Fine(0x1234);
  ASSERT_TRUE(img.Scrivi(immagine = cartella.File("tree.bin")));
  fine = img.Posizione() - 4;
  ASSERT_TRUE(Avvia());
  Esegui();
  EXPECT_EQ(loader.esito, RC_BLOCK_WRITE);
  EXPECT_FALSE(fs::exists(cartella.File("dentro/f")));
}

}  // namespace
}  // namespace bricola
