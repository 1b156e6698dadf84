// Runs the real program as a user would and checks its exit status, output and log.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "cartella_prova.h"

namespace bricola {
namespace {

struct Risultato {
  int stato = -1;
  std::string uscita;
};

// The argument in single quotes for /bin/sh.
std::string Quota(const std::string& s) {
  std::string q(1, '\'');
  for (char c : s) {
    if (c == '\'') {
      q.append("'\\''");
    } else {
      q.push_back(c);
    }
  }
  q.push_back('\'');
  return q;
}

// A settings folder of the tests' own, so that no user's settings file takes part.
const std::string& ConfigurazioneProva() {
  static prova::CartellaProva cartella;
  return cartella.Percorso();
}

// The program started with no display in its environment.
const char* const kSenzaDisplay[] = {"-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"};
std::vector<std::string> SenzaDisplay(std::vector<std::string> argomenti) {
  std::vector<std::string> a(std::begin(kSenzaDisplay), std::end(kSenzaDisplay));
  a.push_back(BRICOLA_PROGRAMMA);
  a.insert(a.end(), argomenti.begin(), argomenti.end());
  return a;
}

// Runs the program with TMPDIR set to `tmpdir`; stderr is discarded.
Risultato Esegui(const std::string& tmpdir, const std::vector<std::string>& argomenti,
                 const std::string& programma = BRICOLA_PROGRAMMA,
                 const std::string& configurazione = ConfigurazioneProva()) {
  std::string comando("XDG_CONFIG_HOME=");
  comando.append(Quota(configurazione));
  comando.append(" TMPDIR=");
  comando.append(Quota(tmpdir));
  comando.push_back(' ');
  comando.append(Quota(programma));
  for (const auto& a : argomenti) {
    comando.push_back(' ');
    comando.append(Quota(a));
  }
  comando.append(" 2>/dev/null");
  Risultato r;
  FILE* p = ::popen(comando.c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.uscita.append(buf, n);
  const int s = ::pclose(p);
  r.stato = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  return r;
}

class Programma : public ::testing::Test {
 protected:
  prova::CartellaProva cartella;
};

TEST_F(Programma, BatchWithoutOperationExits72AndWritesNoLog) {
  const Risultato r = Esegui(cartella.Percorso(), {"-B"});
  EXPECT_EQ(r.stato, 72);
  EXPECT_EQ(r.uscita, "");
  EXPECT_TRUE(cartella.Vuota());
}

TEST_F(Programma, BatchWithLogWritesAStartLine) {
  const Risultato r = Esegui(cartella.Percorso(), {"-B", "-L"});
  EXPECT_EQ(r.stato, 72);

  std::vector<std::filesystem::path> file;
  for (const auto& e : std::filesystem::directory_iterator(cartella.Percorso())) file.push_back(e.path());
  ASSERT_EQ(file.size(), 1u);
  const std::string nome = file[0].filename().string();
  std::smatch mn;
  ASSERT_TRUE(std::regex_match(nome, mn, std::regex(R"(BricolaLog(\d{4})(\d\d)(\d\d)\.txt)"))) << nome;

  const std::string contenuto = prova::LeggiTutto(file[0].string());
  std::smatch ml;
  ASSERT_TRUE(std::regex_match(contenuto, ml,
                               // (the port lists logged at start-up come first)
                               std::regex(R"((?:\d\d/\d\d/\d{4} \d\d:\d\d:\d\d (?:porte|COM|LPT)[^\r\n]*\r\n)*)"
                                          R"((\d\d)/(\d\d)/(\d{4}) \d\d:\d\d:\d\d start\r\n)")))
      << contenuto;
  // The file is named after the day the line was written (the same run).
  EXPECT_EQ(ml[3].str() + ml[2].str() + ml[1].str(), mn[1].str() + mn[2].str() + mn[3].str());
}

TEST_F(Programma, KeyJobsOnASerialPortExit11) {
  for (const char* op : {"-R", "-E"}) {
    EXPECT_EQ(Esegui(cartella.Percorso(), {"-B", op, "-C", "3"}).stato, 11) << op;
  }
}

TEST_F(Programma, LoadOfAMissingFileExits1) {
  EXPECT_EQ(Esegui(cartella.Percorso(), {"-B", "-S", "-C", "3", cartella.Percorso() + "/none.bin"}).stato, 1);
}

TEST_F(Programma, HelpPrintsTheUsageBytes) {
  std::string atteso =
      "Bricola [-?] [-C {Com}] [-B] [-E] [-L] [-R] [-X] [\"{Filename}\"]\r\n"
      "  Manage flash programming for Tarvolinx vending machines.\r\n"
      "\r\n"
      "Usage:\r\n"
      "  [-?]\r\n"
      "              Show this information.\r\n"
      "  [-B]\r\n"
      "              Batch mode.\r\n"
      "  [-S]\r\n"
      "              Start the loading process immediately.\r\n"
      "  [-R]\r\n"
      "              Start the reading process immediately.\r\n"
      "  [-E]\r\n"
      "              Erase the content of the Memox.\r\n"
      "  [-X]\r\n"
      "              Exit at the end of process, if no errors.\r\n"
      "  [-C {Com}]\r\n"
      "              Select communication port n (COMn), 50+n (LPTn), 61 (USB).\r\n"
      "  [-L]\r\n"
      "              Generate log file for troubleshooting pourpose.\r\n";
  for (const char* aiuto : {"-?", "-H", "/?", "/h"}) {
    // No display: the usage goes to standard output.
    const Risultato r = Esegui(cartella.Percorso(), SenzaDisplay({aiuto}), "/usr/bin/env");
    EXPECT_EQ(r.stato, 0) << aiuto;
    EXPECT_EQ(r.uscita, atteso) << aiuto;
  }
}

TEST_F(Programma, SettingsFileIsNamedAfterTheProgram) {
  // A copy of the program under another name reads Corvanti/<that name>.ini.
  prova::CartellaProva programmi;
  prova::CartellaProva configurazione;
  const std::string copia = programmi.File("officina");
  std::filesystem::copy_file(BRICOLA_PROGRAMMA, copia);
  std::filesystem::permissions(copia, std::filesystem::perms::owner_all);
  std::filesystem::create_directories(configurazione.File("Corvanti"));
  for (const char* nome : {"officina", "bricola"}) {
    std::ofstream f(configurazione.File("Corvanti/") + nome + ".ini");
    f << "[Ports]\nCOM7=rfc2217://127.0.0.1:9/" << nome << "\n";
  }

  EXPECT_EQ(Esegui(cartella.Percorso(), {"-B", "-L"}, copia, configurazione.Percorso()).stato, 72);
  std::string registro;
  for (const auto& e : std::filesystem::directory_iterator(cartella.Percorso())) {
    registro += prova::LeggiTutto(e.path().string());
  }
  EXPECT_NE(registro.find("COM7 = rfc2217://127.0.0.1:9/officina\r\n"), std::string::npos) << registro;
  EXPECT_EQ(registro.find("/bricola"), std::string::npos) << registro;
}

TEST_F(Programma, WindowModeWithoutADisplayIsRefusedWithNonZeroStatus) {
  const Risultato r = Esegui(cartella.Percorso(), SenzaDisplay({"/home/tech/fw.bin"}), "/usr/bin/env");
  EXPECT_NE(r.stato, 0);
  EXPECT_EQ(r.uscita, "");
}

}  // namespace
}  // namespace bricola
