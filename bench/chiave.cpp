// Speed of the Memox key on USB: bricola-sim serves the emulated key (264-byte
// pages, 4096 of them, written through to its key file at once) on a
// Unix-domain socket, and the real program loads a 1 MiB module onto it with
// `bricola -B -S -C 61 image.bin`, then reads the key back with
// `bricola -B -R -C 61 out.bin`.
//
// The figures are key pages per second over each whole job (process start,
// key recognition, the fit test, the directory writes included) and the same
// as bytes per second. Each page is one step of the key loader: the loader
// runs one page per step and the batch worker sleeps the loader's 1 ms period
// between steps, so about 1000 pages per second is the ceiling the stepping
// sets; a page write is one exchange of 9 feature reports out and 1 in
// (288 bytes), a page read 1 out and 9 in.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/resource.h>
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

constexpr std::uint32_t kDimensioneModulo = 1024 * 1024;
constexpr std::uint32_t kPagina = 264;

// The emulated key, started for one benchmark and stopped with it.
class CChiaveSim {
 public:
  CChiaveSim(const std::string& cartella) {
    socket = cartella + "/usb.sock";
    const std::string uscita = cartella + "/sim.out";
    const std::string comando = std::string("exec ") + BRICOLA_SIM + " --usb '" + socket + "' --key '" + cartella +
                                "/key.bin' > '" + uscita + "' 2>/dev/null & echo $!";
    FILE* p = ::popen(comando.c_str(), "r");
    if (p != nullptr) {
      if (std::fscanf(p, "%d", &pid) != 1) pid = -1;
      ::pclose(p);
    }
    // The socket listens once its line is out.
    for (int i = 0; i < 200 && !pronto; ++i) {
      ::usleep(10000);
      std::ifstream in(uscita);
      std::string riga;
      pronto = static_cast<bool>(std::getline(in, riga)) && riga.rfind("usb ", 0) == 0;
    }
  }
  ~CChiaveSim() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
  std::string socket;
  bool pronto = false;

 private:
  int pid = -1;
};

// CPU seconds (user + system) of the children waited for so far.
double CpuFigli() {
  rusage ru{};
  ::getrusage(RUSAGE_CHILDREN, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// Runs one bricola command line (BRICOLA_BENCH_PROGRAMMA names another build);
// its exit status, its time and its CPU time in seconds.
int Esegui(const prova::CCartellaTemporanea& cartella, const std::string& argomenti, double& secondi,
           double& cpu) {
  const char* altro = std::getenv("BRICOLA_BENCH_PROGRAMMA");
  const std::string programma = altro != nullptr && *altro ? altro : BRICOLA_PROGRAMMA;
  const std::string comando = "cd '" + cartella.Percorso() + "' && XDG_CONFIG_HOME='" + cartella.Percorso() +
                              "' TMPDIR='" + cartella.Percorso() + "' exec " + programma + " " + argomenti +
                              " 2>/dev/null";
  const double cpuPrima = CpuFigli();
  const auto inizio = std::chrono::steady_clock::now();
  const int s = std::system(comando.c_str());
  secondi = std::chrono::duration<double>(std::chrono::steady_clock::now() - inizio).count();
  cpu = CpuFigli() - cpuPrima;
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

void BM_ChiaveUsb1MiB(benchmark::State& state) {
  prova::CCartellaTemporanea cartella;
  const std::string immagine = cartella.File("image.bin");
  prova::SIntestazione h;
  h.tipoMicro = 1;
  h.nome = "bench";
  prova::CImmagine().Intestazione(h).Sequenza(0x400000, kDimensioneModulo, 7).Fine(0x1234).Scrivi(immagine);
  const std::uint32_t byteModulo = static_cast<std::uint32_t>(prova::LeggiFile(immagine).size());
  const double pagine = (byteModulo + kPagina - 1) / kPagina;
  ::mkdir(cartella.File("Corvanti").c_str(), 0755);

  int statoScrittura = -1, statoLettura = -1;
  double secondiScrittura = 0, secondiLettura = 0, cpuScrittura = 0, cpuLettura = 0;
  bool uguale = false;
  for (auto _ : state) {
    CChiaveSim sim(cartella.Percorso());
    if (!sim.pronto) {
      state.SkipWithError("bricola-sim did not start");
      return;
    }
    std::ofstream(cartella.File("Corvanti/bricola.ini")) << "[Ports]\nUSB=unix:" << sim.socket << "\n";
    statoScrittura = Esegui(cartella, "-B -S -C 61 '" + immagine + "'", secondiScrittura, cpuScrittura);
    statoLettura = Esegui(cartella, "-B -R -C 61 out.bin", secondiLettura, cpuLettura);
    uguale = prova::LeggiFile(cartella.File("out.bin")) == prova::LeggiFile(immagine);
    state.SetIterationTime(secondiScrittura + secondiLettura);
  }
  if (statoScrittura != 0 || statoLettura != 0 || !uguale) {
    state.SkipWithError(("load " + std::to_string(statoScrittura) + ", read " + std::to_string(statoLettura) +
                         (uguale ? "" : ", read-back differs")).c_str());
    return;
  }
  state.counters["pagine_s_scrittura"] = pagine / secondiScrittura;
  state.counters["pagine_s_lettura"] = pagine / secondiLettura;
  state.counters["cpu_frazione_scrittura"] = cpuScrittura / secondiScrittura;
  state.counters["cpu_frazione_lettura"] = cpuLettura / secondiLettura;
  std::printf("USB key, %u-byte module, %.0f pages of %u bytes:\n", byteModulo, pagine, kPagina);
  std::printf("  load  %.2f s: %.0f pages/s, %.0f bytes/s, CPU %.3f s (%.3f)\n", secondiScrittura,
              pagine / secondiScrittura, byteModulo / secondiScrittura, cpuScrittura, cpuScrittura / secondiScrittura);
  std::printf("  read  %.2f s: %.0f pages/s, %.0f bytes/s, CPU %.3f s (%.3f)\n", secondiLettura,
              pagine / secondiLettura, byteModulo / secondiLettura, cpuLettura, cpuLettura / secondiLettura);
}
BENCHMARK(BM_ChiaveUsb1MiB)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace
