#include "base/registro.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cartella_prova.h"
#include "platform/accodamento.h"
#include "platform/sistema.h"

namespace bricola {
namespace {

using prova::CartellaProva;
using prova::LeggiTutto;

// ---------------------------------------------------------------------------
// Formatting of the integer forms.

struct CasoFormato {
  const char* formato;
  std::vector<long long> valori;
  const char* atteso;
};

std::string Formatta(const CasoFormato& c) {
  switch (c.valori.size()) {
    case 0: return FormattaInteri(c.formato, {});
    case 1: return FormattaInteri(c.formato, {c.valori[0]});
    default: return FormattaInteri(c.formato, {c.valori[0], c.valori[1]});
  }
}

TEST(FormattaInteri, LogVocabularyAndConversions) {
  const CasoFormato casi[] = {
      {"velocita' apertura %d bit/s", {38400}, "velocita' apertura 38400 bit/s"},
      {"margine %ld tick", {250}, "margine 250 tick"},
      {"invio %04lx dati a %06lx", {0x80, 0xFF0000}, "invio 0080 dati a ff0000"},
      {"InvioBlocco: inizio %06lx, lung. %03x", {0x0F8000, 0x100}, "InvioBlocco: inizio 0f8000, lung. 100"},
      {"%X", {0xABC}, "ABC"},
      {"%x", {0xABC}, "abc"},
      {"%i", {-7}, "-7"},
      {"[%5d]", {42}, "[   42]"},
      {"[%-5d]", {42}, "[42   ]"},
      {"[%05d]", {-42}, "[-0042]"},
      {"[%-05d]", {42}, "[42   ]"},
      {"[%+d]", {5}, "[+5]"},
      {"[% d]", {5}, "[ 5]"},
      {"[%#x]", {255}, "[0xff]"},
      {"[%#X]", {0}, "[0]"},
      {"[%.3d]", {7}, "[007]"},
      {"[%8.3x]", {0x1F}, "[     01f]"},
      {"[%.0d]", {0}, "[]"},
      {"%d", {0}, "0"},
      // The value is read as the type the conversion names.
      {"%u", {-1}, "4294967295"},
      {"%x", {-1}, "ffffffff"},
      {"%lx", {-1}, "ffffffffffffffff"},
      {"%llu", {-1}, "18446744073709551615"},
      {"%hx", {0x12345}, "2345"},
      {"%hd", {0xFFFF}, "-1"},
      {"%hhx", {0x1FF}, "ff"},
      {"%hhd", {0x80}, "-128"},
      {"%d", {1LL << 32}, "0"},
      {"%ld", {1LL << 40}, "1099511627776"},
      {"%lld", {-(1LL << 40)}, "-1099511627776"},
      {"%ld", {-9223372036854775807LL - 1}, "-9223372036854775808"},
      {"%zx", {0x10}, "10"},
      {"%c", {'A'}, "A"},
      {"[%3c]", {'A'}, "[  A]"},
      {"[%-3c]", {'A'}, "[A  ]"},
      {"%c", {0xE9}, "\xC3\xA9"},  // kept as the character é in the text
      // Percent signs and conversions this formatter does not serve.
      {"100%%", {}, "100%"},
      {"%% %d", {3}, "% 3"},
      {"%s %d", {5}, "%s 5"},
      {"%p|%f|%n", {1}, "%p|%f|%n"},
      {"%*d", {5}, "%*d"},
      {"end %", {1}, "end %"},
      {"end %5", {1}, "end %5"},
      {"end %l", {1}, "end %l"},
      // More conversions than values: the extra one stays as written.
      {"%d %d", {7}, "7 %d"},
      {"%d e %d", {1, 2}, "1 e 2"},
      {"no conversions", {1, 2}, "no conversions"},
      {"", {1}, ""},
  };
  for (const CasoFormato& c : casi) {
    EXPECT_EQ(Formatta(c), c.atteso) << "format \"" << c.formato << "\"";
  }
}

// Every combination of flags, width and precision gives what the C library prints
// for the same value read as the conversion's type.
TEST(FormattaInteri, MatchesTheCLibrary) {
  const char* flagsTutti[] = {"", "-", "0", "+", " ", "#", "-0", "0#", "+0", "- "};
  const char* larghezze[] = {"", "1", "6", "12"};
  const char* precisioni[] = {"", ".0", ".4"};
  const long long valori[] = {0, 1, -1, 42, -42, 0x7FFFFFFF, -0x80000000LL, 0x123456789ALL};
  for (const char* flags : flagsTutti) {
    for (const char* larghezza : larghezze) {
      for (const char* precisione : precisioni) {
        for (char tipo : {'d', 'i', 'u', 'x', 'X'}) {
          // '#' is defined for the hexadecimal conversions only.
          if (std::string(flags).find('#') != std::string::npos && tipo != 'x' && tipo != 'X') continue;
          for (long long v : valori) {
            char atteso[128];
            const std::string base = std::string("%") + flags + larghezza + precisione;
            const std::string fInt = base + tipo;
            const std::string fLong = base + "l" + tipo;
            if (tipo == 'd' || tipo == 'i') {
              std::snprintf(atteso, sizeof atteso, fInt.c_str(), static_cast<int>(v));
            } else {
              std::snprintf(atteso, sizeof atteso, fInt.c_str(), static_cast<unsigned>(v));
            }
            EXPECT_EQ(FormattaInteri(fInt, {v}), atteso) << fInt << " " << v;
            if (tipo == 'd' || tipo == 'i') {
              std::snprintf(atteso, sizeof atteso, fLong.c_str(), static_cast<long>(v));
            } else {
              std::snprintf(atteso, sizeof atteso, fLong.c_str(), static_cast<unsigned long>(v));
            }
            EXPECT_EQ(FormattaInteri(fLong, {v}), atteso) << fLong << " " << v;
          }
        }
      }
    }
  }
}

TEST(FormattaInteri, HugeWidthIsBounded) {
  const std::string s = FormattaInteri("%999999999999d", {1});
  EXPECT_LE(s.size(), CFileRegistro::kMaxTesto + 1);
  EXPECT_EQ(s.back(), '1');
}

// ---------------------------------------------------------------------------
// Narrowing of the text to one byte per UTF-16 unit.

TEST(TestoPerRegistro, OneByteForEachUtf16Unit) {
  struct {
    std::string testo;
    std::string atteso;
  } const casi[] = {
      {"interfaccia aperta", "interfaccia aperta"},
      {"", ""},
      {"perch\xC3\xA9", "perch\xE9"},                    // é -> Latin-1
      {"\xC3\xBF", "\xFF"},                              // ÿ
      {"\xE2\x82\xAC", "\xAC"},                          // € U+20AC -> low 8 bits
      {"\xE4\xB8\x80x", std::string("\x00", 1) + "x"},   // U+4E00 -> 0x00
      {"\xF0\x9D\x84\x9E", "\x34\x1E"},                  // U+1D11E -> D834 DD1E
      {"a\xFF" "b", "a\xFF" "b"},                        // invalid byte kept
      {"\xC3", "\xC3"},                                  // truncated sequence
      {"\xC0\xAF", "\xC0\xAF"},                          // overlong form
      {"\xED\xA0\x80", "\xED\xA0\x80"},                  // encoded surrogate
      {"\xF4\x90\x80\x80", "\xF4\x90\x80\x80"},          // beyond U+10FFFF
      {"\r\n\t", "\r\n\t"},
  };
  for (const auto& c : casi) {
    EXPECT_EQ(TestoPerRegistro(c.testo), c.atteso) << c.testo;
  }
}

TEST(TestoPerRegistro, LongTextIsCutNeverOverflowed) {
  const std::size_t max = CFileRegistro::kMaxTesto;
  EXPECT_EQ(TestoPerRegistro(std::string(max, 'a')), std::string(max, 'a'));
  EXPECT_EQ(TestoPerRegistro(std::string(max + 1, 'a')), std::string(max, 'a'));
  EXPECT_EQ(TestoPerRegistro(std::string(100000, 'z')).size(), max);

  // The cut counts converted bytes: 1023 two-byte characters give 1023 bytes.
  std::string accentate;
  for (std::size_t i = 0; i < max + 10; ++i) accentate += "\xC3\xA8";
  EXPECT_EQ(TestoPerRegistro(accentate), std::string(max, '\xE8'));

  // A character beyond the BMP needs two units: it is not split at the end.
  const std::string quasiPieno(max - 1, 'a');
  EXPECT_EQ(TestoPerRegistro(quasiPieno + "\xF0\x9D\x84\x9E"), quasiPieno);
  EXPECT_EQ(TestoPerRegistro(std::string(max - 2, 'a') + "\xF0\x9D\x84\x9E"),
            std::string(max - 2, 'a') + "\x34\x1E");
}

TEST(RigaRegistro, TimestampTextAndCrLf) {
  const OraLocale ora{2016, 4, 19, 7, 5, 3};
  EXPECT_EQ(RigaRegistro(ora, "timer creato"), "19/04/2016 07:05:03 timer creato\r\n");
  EXPECT_EQ(RigaRegistro(OraLocale{2026, 12, 31, 23, 59, 59}, ""), "31/12/2026 23:59:59 \r\n");
  EXPECT_EQ(RigaRegistro(ora, "citt\xC3\xA0"), "19/04/2016 07:05:03 citt\xE0\r\n");
}

// ---------------------------------------------------------------------------
// Writing the file.

class FileRegistro : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(cartella.Percorso().empty());
    percorso = cartella.File("BricolaLog20160419.txt");
    registro.ImpostaFileRegistro(percorso);
  }

  // The lines of the file; each must carry a well-formed timestamp, which is removed.
  std::vector<std::string> Righe() const {
    const std::string contenuto = LeggiTutto(percorso);
    static const std::regex kMarca(R"(^\d\d/\d\d/\d{4} \d\d:\d\d:\d\d )");
    std::vector<std::string> righe;
    std::size_t inizio = 0;
    while (inizio < contenuto.size()) {
      const std::size_t fine = contenuto.find("\r\n", inizio);
      if (fine == std::string::npos) {
        ADD_FAILURE() << "line without CR LF at the end of the file";
        break;
      }
      const std::string riga = contenuto.substr(inizio, fine - inizio);
      std::smatch m;
      if (!std::regex_search(riga, m, kMarca)) {
        ADD_FAILURE() << "malformed line: " << riga;
      } else {
        righe.push_back(riga.substr(m.length(0)));
      }
      inizio = fine + 2;
    }
    return righe;
  }

  CartellaProva cartella;
  std::string percorso;
  CFileRegistro registro;
};

TEST_F(FileRegistro, EveryFormWritesItsLine) {
  const std::uint8_t lunBuf[] = {0xFE, 0xC0, 0x03, 0x1C};
  registro.Registra("interfaccia aperta");
  registro.RegistraValore("velocita' apertura %d bit/s", 115200);
  registro.RegistraValori("invio %04lx dati a %06lx", 0x100, 0xFF8000);
  registro.RegistraConcat("GetFirma: ", "ricevuto errato");
  registro.RegistraPrefissoValore("SetRemoto: ", "margine %ld tick", 500);
  registro.RegistraByte("InvioLunBuf:", lunBuf, 4);
  registro.RegistraPrefissoByte("Reboot ", "ricevuto:", lunBuf, 2);
  registro.RegistraByte("vuoto:", lunBuf, 0);
  registro.RegistraByte("%d usato come testo:", lunBuf, 1);
  registro.RegistraValore(nullptr, 1);

  const std::vector<std::string> attese = {
      "interfaccia aperta",
      "velocita' apertura 115200 bit/s",
      "invio 0100 dati a ff8000",
      "GetFirma: ricevuto errato",
      "SetRemoto: margine 500 tick",
      "InvioLunBuf: fe c0 03 1c",
      "Reboot ricevuto: fe c0",
      "vuoto:",
      "%d usato come testo: fe",
      "",
  };
  EXPECT_EQ(Righe(), attese);
}

TEST_F(FileRegistro, LinesOfTheSameSecondKeepTheirOrderAndRunsAppend) {
  registro.Registra("uno");
  registro.Registra("due");
  CFileRegistro altro;  // a second run of the same day
  altro.ImpostaFileRegistro(percorso);
  altro.Registra("tre");
  EXPECT_EQ(Righe(), (std::vector<std::string>{"uno", "due", "tre"}));
}

TEST_F(FileRegistro, TimestampIsTheLocalTimeOfTheWrite) {
  const OraLocale prima = OraAttuale();
  registro.Registra("x");
  const OraLocale dopo = OraAttuale();
  const std::string contenuto = LeggiTutto(percorso);
  char p[32], d[32];
  std::snprintf(p, sizeof p, "%02d/%02d/%04d %02d:%02d:%02d x\r\n", prima.giorno, prima.mese,
                prima.anno, prima.ora, prima.minuto, prima.secondo);
  std::snprintf(d, sizeof d, "%02d/%02d/%04d %02d:%02d:%02d x\r\n", dopo.giorno, dopo.mese,
                dopo.anno, dopo.ora, dopo.minuto, dopo.secondo);
  EXPECT_TRUE(contenuto == p || contenuto == d) << contenuto;
}

TEST_F(FileRegistro, ByteFormsOfLongFramesAreCut) {
  std::vector<std::uint8_t> dati(2000, 0xAB);
  registro.RegistraByte("InvioDati:", dati.data(), static_cast<int>(dati.size()));
  const auto righe = Righe();
  ASSERT_EQ(righe.size(), 1u);
  EXPECT_EQ(righe[0].size(), CFileRegistro::kMaxTesto);
  EXPECT_EQ(righe[0].substr(0, 16), "InvioDati: ab ab");
}

TEST_F(FileRegistro, NonLatinCharactersBecomeOneByte) {
  registro.Registra("\xE2\x82\xAC \xC3\xA8");
  const std::string contenuto = LeggiTutto(percorso);
  ASSERT_GE(contenuto.size(), 5u);
  EXPECT_EQ(contenuto.substr(contenuto.size() - 5), "\xAC \xE8\r\n");
}

TEST_F(FileRegistro, LineIsLostWhileAnotherWriterHoldsTheFile) {
  registro.Registra("prima");
  const int fd = ::open(percorso.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  const auto inizio = std::chrono::steady_clock::now();
  registro.Registra("persa");
  const auto atteso = std::chrono::steady_clock::now() - inizio;
  ::close(fd);
  registro.Registra("dopo");
  EXPECT_EQ(Righe(), (std::vector<std::string>{"prima", "dopo"}));
  // Given up only after the whole wait, and not much later.
  EXPECT_GE(atteso, std::chrono::milliseconds(kAttesaMassimaMs));
  EXPECT_LT(atteso, std::chrono::milliseconds(kAttesaMassimaMs + 2000));
}

TEST_F(FileRegistro, WriterWaitsForALockReleasedWithinTheWait) {
  registro.Registra("prima");
  const int fd = ::open(percorso.c_str(), O_WRONLY | O_APPEND);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  std::thread rilascio([fd] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    // The other writer's own line goes in before ours.
    const char riga[] = "01/01/2026 00:00:00 altro\r\n";
    EXPECT_EQ(::write(fd, riga, sizeof riga - 1), static_cast<ssize_t>(sizeof riga - 1));
    ::close(fd);
  });
  registro.Registra("attesa");
  rilascio.join();
  EXPECT_EQ(Righe(), (std::vector<std::string>{"prima", "altro", "attesa"}));
}

TEST_F(FileRegistro, ConcurrentWritersNeverInterleave) {
  constexpr int kScrittori = 8;
  constexpr int kRighe = 200;
  std::vector<std::thread> scrittori;
  for (int t = 0; t < kScrittori; ++t) {
    scrittori.emplace_back([this, t] {
      CFileRegistro mio;
      mio.ImpostaFileRegistro(percorso);
      const std::string corpo(300, static_cast<char>('a' + t));
      for (int k = 0; k < kRighe; ++k) mio.Registra(corpo);
    });
  }
  for (auto& s : scrittori) s.join();

  const auto righe = Righe();  // fails on any malformed line
  // Each writer waits its turn: no line is lost.
  EXPECT_EQ(righe.size(), static_cast<std::size_t>(kScrittori * kRighe));
  for (const std::string& r : righe) {
    ASSERT_EQ(r.size(), 300u);
    EXPECT_EQ(r, std::string(300, r[0]));
  }
}

TEST(FileRegistroSenzaPercorso, WritesNothing) {
  CartellaProva cartella;
  CFileRegistro registro;
  EXPECT_TRUE(registro.FileRegistro().empty());
  const std::uint8_t b[] = {1};
  registro.Registra("start");
  registro.RegistraValore("%d", 1);
  registro.RegistraValori("%d %d", 1, 2);
  registro.RegistraConcat("a", "b");
  registro.RegistraPrefissoValore("a", "%d", 1);
  registro.RegistraByte("x", b, 1);
  registro.RegistraPrefissoByte("p", "x", b, 1);
  EXPECT_TRUE(cartella.Vuota());
}

TEST(FileRegistroSenzaPercorso, UnreachableDirectoryLosesTheLineSilently) {
  CFileRegistro registro;
  registro.ImpostaFileRegistro("/nonexistent-bricola-dir/sub/BricolaLog.txt");
  registro.Registra("persa");
  SUCCEED();
}

TEST(PercorsoRegistro, CutToTwoHundredSixtyCharacters) {
  struct {
    std::string percorso;
    std::string atteso;
  } const casi[] = {
      {"/tmp/BricolaLog20160419.txt", "/tmp/BricolaLog20160419.txt"},
      {std::string(260, 'a'), std::string(260, 'a')},
      {std::string(300, 'a'), std::string(260, 'a')},
      // Characters are counted, not bytes; a character is never split.
      {std::string(259, 'a') + "\xC3\xA8" + "bbb", std::string(259, 'a') + "\xC3\xA8"},
      {[] { std::string s; for (int i = 0; i < 300; ++i) s += "\xC3\xA8"; return s; }(),
       [] { std::string s; for (int i = 0; i < 260; ++i) s += "\xC3\xA8"; return s; }()},
      // A character beyond the BMP counts two (it takes two UTF-16 units).
      {std::string(259, 'a') + "\xF0\x9D\x84\x9E", std::string(259, 'a')},
      {std::string(258, 'a') + "\xF0\x9D\x84\x9E" + "x", std::string(258, 'a') + "\xF0\x9D\x84\x9E"},
  };
  for (const auto& c : casi) {
    CFileRegistro registro;
    registro.ImpostaFileRegistro(c.percorso);
    EXPECT_EQ(registro.FileRegistro(), c.atteso);
  }
}

}  // namespace
}  // namespace bricola
