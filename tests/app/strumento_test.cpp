// bricola-tool's own parsing and output: the option reader, hexadecimal
// numbers and ranges, the JSON writer, and the usage errors of the dispatcher.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "app/strumento.h"

namespace bricola {
namespace {

std::vector<SOpzione> Ammesse() {
  auto o = OpzioniComuni(true);
  o.push_back({"can", 0, true, false});
  o.push_back({"range", 0, true, true});
  o.push_back({"output", 'o', true, false});
  o.push_back({"yes", 'y', false, false});
  return o;
}

TEST(StrumentoOpzioni, GnuFormsGiveTheSameValues) {
  const std::vector<std::vector<std::string>> forme = {
      {"-C", "3", "--can", "482", "-o", "out.bin", "img"},
      {"-C3", "--can=482", "-oout.bin", "img"},
      {"img", "--port", "3", "--output=out.bin", "--can", "482"},
  };
  for (const auto& f : forme) {
    SArgomenti a;
    std::string errore;
    ASSERT_TRUE(LeggiOpzioni(f, Ammesse(), a, errore)) << errore;
    EXPECT_EQ(a.Valore("port"), "3");
    EXPECT_EQ(a.Valore("can"), "482");
    EXPECT_EQ(a.Valore("output"), "out.bin");
    EXPECT_EQ(a.posizionali, std::vector<std::string>{"img"});
  }
}

TEST(StrumentoOpzioni, RepeatsFlagsAndTheEndOfOptions) {
  SArgomenti a;
  std::string errore;
  const std::vector<std::string> riga = {"--range", "1:2", "--range=3:4", "-y", "--", "-C", "-"};
  ASSERT_TRUE(LeggiOpzioni(riga, Ammesse(), a, errore)) << errore;
  EXPECT_EQ(a.opzioni.at("range"), (std::vector<std::string>{"1:2", "3:4"}));
  EXPECT_TRUE(a.Ha("yes"));
  EXPECT_FALSE(a.Ha("port"));
  EXPECT_EQ(a.posizionali, (std::vector<std::string>{"-C", "-"}));
}

TEST(StrumentoOpzioni, ComplaintsNameTheOption) {
  const struct {
    std::vector<std::string> riga;
    std::string lamentela;
  } casi[] = {
      {{"--bogus"}, "unknown option --bogus"},
      {{"-x"}, "unknown option -x"},
      {{"-yz"}, "unknown option -yz"},
      {{"-C"}, "option -C needs a value"},
      {{"--can"}, "option --can needs a value"},
      {{"--yes=1"}, "option --yes takes no value"},
  };
  for (const auto& c : casi) {
    SArgomenti a;
    std::string errore;
    EXPECT_FALSE(LeggiOpzioni(c.riga, Ammesse(), a, errore)) << c.lamentela;
    EXPECT_EQ(errore, c.lamentela);
  }
}

TEST(StrumentoNumeri, HexadecimalWithOrWithout0x) {
  EXPECT_EQ(NumeroEsadecimale("482"), 0x482u);
  EXPECT_EQ(NumeroEsadecimale("0x0482"), 0x482u);
  EXPECT_EQ(NumeroEsadecimale("0XfFfFfFfF"), 0xFFFFFFFFu);
  for (const char* cattivo : {"", "0x", "12G", "-1", "1 ", "123456789", " 12"}) {
    EXPECT_FALSE(NumeroEsadecimale(cattivo).has_value()) << cattivo;
  }
  std::uint32_t a = 0, b = 0;
  ASSERT_TRUE(LeggiIntervallo("FC0000:0x1000000", a, b));
  EXPECT_EQ(a, 0xFC0000u);
  EXPECT_EQ(b, 0x1000000u);
  for (const char* cattivo : {"FC0000", "FC0000:FC0000", "FD0000:FC0000", ":FC0000", "FC0000:", "a:b:c"}) {
    EXPECT_FALSE(LeggiIntervallo(cattivo, a, b)) << cattivo;
  }
}

TEST(StrumentoJson, TextsAreEscapedAndInvalidUtf8Replaced) {
  EXPECT_EQ(JsonTesto("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(JsonTesto(std::string("x\n\t\x01", 4)), "\"x\\u000a\\u0009\\u0001\"");
  EXPECT_EQ(JsonTesto("\xc3\xa8"), "\"\xc3\xa8\"");
  EXPECT_EQ(JsonTesto("\xe8z"), "\"\xef\xbf\xbdz\"");        // Latin-1 byte
  EXPECT_EQ(JsonTesto("\xc3"), "\"\xef\xbf\xbd\"");          // cut sequence
  CJsonOggetto o;
  o.Numero("result", 0).Testo("message", "ok").Booleano("b", true).Nullo("n").Grezzo("l", JsonLista({"1", "2"}));
  EXPECT_EQ(o.Json(), "{\"result\": 0, \"message\": \"ok\", \"b\": true, \"n\": null, \"l\": [1, 2]}");
  EXPECT_EQ(Esadecimale(0x482, 4), "0x0482");
  EXPECT_EQ(Esadecimale(0xFC0123, 6), "0xFC0123");
  EXPECT_EQ(MessaggioEsito(0), "ok");
  EXPECT_EQ(MessaggioEsito(28), "error: timeout waiting answer");
}

TEST(StrumentoComandi, NoUnknownOrEmptyCommandRuns) {
  for (const std::vector<std::string>& riga : std::vector<std::vector<std::string>>{{}, {"flash-all"}, {"-C"}}) {
    std::ostringstream uscita, errori;
    SContestoStrumento c;
    c.uscita = &uscita;
    c.errori = &errori;
    EXPECT_EQ(EseguiStrumento(riga, c), kEsitoUso);
    EXPECT_EQ(uscita.str(), "");
    EXPECT_NE(errori.str().find("Usage: bricola-tool COMMAND"), std::string::npos);
  }
  std::ostringstream uscita, errori;
  SContestoStrumento c;
  c.uscita = &uscita;
  c.errori = &errori;
  EXPECT_EQ(EseguiStrumento(std::vector<std::string>{"--help"}, c), 0);
  EXPECT_NE(uscita.str().find("  read-flash"), std::string::npos);
  EXPECT_EQ(errori.str(), "");
}

TEST(StrumentoRiga, ProgressLineOfAJob) {
  SStatoLavoro s;
  s.fase = 0;
  s.fatti = 4096;
  s.totali = 65536;
  EXPECT_EQ(RigaStato(s, 2000, 0), "4096/65536 bytes  2048 bytes/s  00:00:02");
  SStatoLavoro senzaByte;
  EXPECT_EQ(RigaStato(senzaByte, 61000, 0), "00:01:01");
}

}  // namespace
}  // namespace bricola
