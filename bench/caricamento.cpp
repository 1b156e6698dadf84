// Speed of a load on a line that runs at its real pace: bricola-sim --paced
// (10 bits per byte at the line's speed) serves one board over RFC 2217 on
// 127.0.0.1, and the real program loads a 256 KiB module into it with
// `bricola -B -S -C 3 image.bin`, the boot raising the line to 115200 bit/s.
//
// The figure is the effective data rate: module bytes over the whole job's
// time (reset, identification, blank checks, writing and, where the board
// needs it, reading back), in bytes per second and as a fraction of what the
// line can carry at all, 11520 bytes per second.
//
// Two boards: micro type 1, which batch mode's optimised verify writes without
// reading back, and micro type 7, whose every byte is written and read back.
// Both have the demo board's 512-byte packet buffer.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace {

using namespace bricola;

constexpr double kLimiteLinea = 115200.0 / 10.0;  // bytes per second: 10 bits a byte
constexpr std::uint32_t kDimensioneModulo = 256 * 1024;
constexpr std::uint32_t kIndirizzo = 0x400000;  // external flash of the board

// The simulator, started for one load and stopped with it.
class CSimulatore {
 public:
  CSimulatore(const std::string& macchina, const std::string& uscita) {
    const std::string comando = std::string("exec ") + BRICOLA_SIM + " --paced --listen 127.0.0.1:0 --machine '" +
                                macchina + "' > '" + uscita + "' 2>/dev/null & echo $!";
    FILE* p = ::popen(comando.c_str(), "r");
    if (p != nullptr) {
      if (std::fscanf(p, "%d", &pid) != 1) pid = -1;
      ::pclose(p);
    }
    // The port is on the first line of its output.
    for (int i = 0; i < 200 && porta == 0; ++i) {
      ::usleep(10000);
      std::ifstream in(uscita);
      std::string riga;
      if (std::getline(in, riga)) std::sscanf(riga.c_str(), "listening on 127.0.0.1:%d", &porta);
    }
  }
  ~CSimulatore() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
  int porta = 0;

 private:
  int pid = -1;
};

void BM_Caricamento256K(benchmark::State& state) {
  const int tipoMicro = static_cast<int>(state.range(0));
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  {
    std::ofstream m(macchina);
    m << "{\"schede\": [{\"nome\": \"controllo\", \"codice\": \"0x1234\", \"versione\": \"0x68\","
      << " \"tipoMicro\": " << tipoMicro << ", \"velocitaMassima\": 1, \"codiceBuffer\": \"0xA0\","
      << " \"flash\": {\"mappa\": \"M256\", \"esterne\": [{\"base\": \"0x400000\", \"tipo\": \"cfi\","
      << " \"dimensione\": \"0x200000\", \"settori\": \"EBottom\"}]}}]}\n";
  }
  const std::string immagine = cartella.File("image.bin");
  prova::SIntestazione h;
  h.tipoMicro = 1;
  h.nome = "bench";
  prova::CImmagine().Intestazione(h).Sequenza(kIndirizzo, kDimensioneModulo, 7).Fine(0x1234).Scrivi(immagine);
  ::mkdir(cartella.File("Corvanti").c_str(), 0755);

  int stato = -1;
  double secondi = 0;
  for (auto _ : state) {
    CSimulatore sim(macchina, cartella.File("sim.out"));
    if (sim.porta == 0) {
      state.SkipWithError("bricola-sim did not start");
      return;
    }
    std::ofstream(cartella.File("Corvanti/bricola.ini"))
        << "[Ports]\nCOM3=rfc2217://127.0.0.1:" << sim.porta << "\n";
    const std::string comando = "XDG_CONFIG_HOME='" + cartella.Percorso() + "' TMPDIR='" + cartella.Percorso() +
                                "' " + BRICOLA_PROGRAMMA + " -B -S -C 3 '" + immagine + "' 2>/dev/null";
    const auto inizio = std::chrono::steady_clock::now();
    const int s = std::system(comando.c_str());
    secondi = std::chrono::duration<double>(std::chrono::steady_clock::now() - inizio).count();
    stato = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    state.SetIterationTime(secondi);
  }
  if (stato != 0) {
    state.SkipWithError(("the load ended with status " + std::to_string(stato)).c_str());
    return;
  }
  const double velocita = kDimensioneModulo / secondi;
  state.counters["byte_s"] = velocita;
  state.counters["frazione_linea"] = velocita / kLimiteLinea;
  std::printf("micro type %d: %u bytes %s in %.2f s: %.0f bytes/s, %.3f of the line limit (11520 bytes/s)\n",
              tipoMicro, kDimensioneModulo, tipoMicro == 1 ? "written" : "written and verified", secondi, velocita,
              velocita / kLimiteLinea);
}
BENCHMARK(BM_Caricamento256K)
    ->Arg(1)
    ->Arg(7)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace
