// bricola-mkimage, run as scripts run it, checked through the analysis.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "image/analisi.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace bricola {
namespace {

class MkImage : public ::testing::Test {
 protected:
  int Esegui(const std::string& argomenti) {
    const std::string comando = std::string(BRICOLA_MKIMAGE) + " " + argomenti + " >/dev/null 2>&1";
    const int r = std::system(comando.c_str());
    return WIFEXITED(r) ? WEXITSTATUS(r) : -1;
  }
  int Analizza(const std::string& nome) {
    int tv = 0, inu = 0, err = 0;
    const int esito = analisi.AnalizzaFile(nome, d.data(), kMaxModuli, n, tv, inu, grezzo, err);
    return esito && tv ? 1 : 0;
  }

  prova::CCartellaTemporanea cartella;
  CAnalisiFile analisi;
  std::vector<CProgDescr> d = std::vector<CProgDescr>(kMaxModuli);
  int n = 0, grezzo = 0;
};

TEST_F(MkImage, TwoModulesWithHeaderAndAddress) {
  const std::string f = cartella.File("due.bin");
  ASSERT_EQ(Esegui("-o " + f + " -c 0x0082 -l 7 -n Demo -u 0xF80000:fill=0x5A,4096 -c 0x0011 -a 0x480 -s 256 "
                   "0xFC0000:seq=1024 0xFD0000:hex=0102"), 0);
  ASSERT_EQ(Analizza(f), 1);
  ASSERT_EQ(n, 2);
  EXPECT_EQ(d[0].codice, 0x0082);
  EXPECT_TRUE(d[0].conIntestazione);
  EXPECT_EQ(d[0].TipoLoad(), 7);
  EXPECT_EQ(d[0].nome, "Demo");
  EXPECT_TRUE(d[0].NonSelezionato());
  EXPECT_EQ(d[0].lunghezzaDati, 4096u);
  EXPECT_EQ(d[1].codice, 0x0011);
  EXPECT_TRUE(d[1].conIndirizzo);
  EXPECT_EQ(d[1].indirizzo, 0x480u);
  EXPECT_EQ(d[1].lunghezzaDati, 1026u);
  EXPECT_FALSE(d[1].conIntestazione);
}

TEST_F(MkImage, APackedTreeIsTheModulesFirstDataRecord) {
  const std::string f = cartella.File("albero.bin");
  ASSERT_EQ(Esegui("-o " + f + " -c 0x0010 -m 1 -T 'C:\\mmi' --dir img --file 'img\\a.bin=hex=0102' "
                   "--file ../b=hex=03"), 0);
  ASSERT_EQ(Analizza(f), 1);
  ASSERT_EQ(n, 1);
  EXPECT_EQ(d[0].TipoModulo(), MODULO_MMI);
  EXPECT_EQ(d[0].descrizione, std::optional<std::string>("C:\\mmi"));
  prova::CImmagine atteso;
  atteso.Albero(0, "C:\\mmi", {{"img", true, {}}, {"img\\a.bin", false, {1, 2}}, {"../b", false, {3}}});
  const prova::Byte b = prova::LeggiFile(f);
  ASSERT_GE(b.size(), atteso.Contenuto().size());
  EXPECT_EQ(prova::Byte(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(atteso.Contenuto().size())),
            atteso.Contenuto());
}

TEST_F(MkImage, LoadKindsThroughTheHeader) {
  for (int tipo = 0; tipo <= 13; ++tipo) {
    const std::string f = cartella.File("t" + std::to_string(tipo) + ".bin");
    ASSERT_EQ(Esegui("-o " + f + " -c 0x0033 -l " + std::to_string(tipo) + " 0x100:seq=64"), 0);
    ASSERT_EQ(Analizza(f), 1) << tipo;
    EXPECT_EQ(d[0].TipoLoad(), tipo);
  }
}

TEST_F(MkImage, RawTrailerDescriptionAndBadCrc) {
  const std::string grezza = cartella.File("grezza.bin");
  ASSERT_EQ(Esegui("-o " + grezza + " --raw -c 0x0001 0:seq=5000"), 0);
  EXPECT_EQ(Analizza(grezza), 1);
  EXPECT_EQ(grezzo, 1);
  EXPECT_EQ(d[0].fine, 5000u);

  const std::string coda = cartella.File("coda.bin");
  ASSERT_EQ(Esegui("-o " + coda + " -c 0x0030 --trailer 0xFF0000:seq=100"), 0);
  EXPECT_EQ(Analizza(coda), 1);
  EXPECT_EQ(d[0].codice, 0xFF30);

  const std::string descr = cartella.File("descr.bin");
  ASSERT_EQ(Esegui("-o " + descr + " -c 0x0010 -d 'Prova di testo' 0xFC0000:seq=10"), 0);
  EXPECT_EQ(Analizza(descr), 1);
  EXPECT_EQ(d[0].descrizione.value_or(""), "Prova di testo");

  for (const char* forma : {"", "--trailer", "--raw"}) {
    const std::string rotto = cartella.File("rotto.bin");
    const std::string codice = std::string(forma) == "--raw" ? "0x0002" : "0x0010";
    const std::string f = std::string(forma);
    // --raw is a file option, --trailer belongs to the module.
    const std::string argomenti = f == "--raw" ? "--raw -c " + codice : "-c " + codice + " " + f;
    ASSERT_EQ(Esegui("-o " + rotto + " " + argomenti + " --bad-crc 0xFC0000:seq=10"), 0) << forma;
    EXPECT_EQ(Analizza(rotto), 0) << forma;
    EXPECT_EQ(d[0].stato, STATO_CRC) << forma;
  }
}

TEST_F(MkImage, BadArgumentsExitWith2) {
  const std::string f = cartella.File("x.bin");
  const std::vector<std::string> casi = {"", "-c 0x10 0:seq=4", "-o " + f, "-o " + f + " 0:seq=4", "-o " + f + " -c 0x10000 0:seq=4",
        "-o " + f + " -c 0x10 0:nofile", "-o " + f + " -c 0x10 -l 14 0:seq=4", "-o " + f + " -c 0x10",
        "-o " + f + " -c 0x10 --bogus 0:seq=4", "-o " + f + " --raw -c 1 0:seq=4 -c 2 0:seq=4"};
  for (const std::string& argomenti : casi) {
    EXPECT_EQ(Esegui(argomenti), 2) << argomenti;
  }
  EXPECT_EQ(Esegui("--help"), 0);
  EXPECT_EQ(Esegui("-o " + cartella.File("manca/x.bin") + " -c 0x10 0:seq=4"), 1);
}

}  // namespace
}  // namespace bricola
