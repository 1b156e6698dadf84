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

#include "tests/support/caricatori.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"
#ifdef BRICOLA_BENCH_BOOTSTRAP
#include "bootstrap/load_boot_f2mc.h"
#include "comm/porta_seriale.h"
#include "tests/bootstrap/micro_finto.h"
#include "tests/support/caricatori.h"
#endif

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

// The same 64 KiB boot module into an MB90F549, but end to end: the real
// program (`bricola -B -S -C 3 module.bin`) against bricola-sim --paced, whose
// board answers as the chip's ROM bootstrap and its RAM loader do (loader
// buffer 128 bytes: 116-byte chunks). The time is the whole job's, reset and
// RAM loader at 4800 bit/s included; the line limit is that of the writer's
// speed, 960 bytes per second at 9600 bit/s.
void BM_BootstrapSimMb90F549_64K(benchmark::State& state) {
  constexpr std::uint32_t kModulo = 64 * 1024;
  constexpr double kLimite9600 = 9600.0 / 10.0;
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina) << "{\"schede\": [{\"nome\": \"micro\", \"f2mc\": {\"micro\": \"Q\"}}]}\n";
  prova::ScriviCaricatori(cartella.File("ram"), 1);
  const std::string immagine = cartella.File("module.bin");
  prova::CImmagine().Intestazione(prova::IntestazionePerTipoLoad(2)).Sequenza(0xFF0000, kModulo, 3)
      .Fine(0x0030).Scrivi(immagine);
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
        << "[Ports]\nCOM3=rfc2217://127.0.0.1:" << sim.porta << "\n[Bootstrap]\nDirectory=" << cartella.File("ram")
        << "\n";
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
  const double velocita = kModulo / secondi;
  state.counters["byte_s"] = velocita;
  state.counters["frazione_linea"] = velocita / kLimite9600;
  std::printf("MB90F549 ROM bootstrap against bricola-sim --paced: %u bytes written and verified in %.1f s: "
              "%.0f bytes/s, %.3f of the line limit at 9600 bit/s (960 bytes/s)\n",
              kModulo, secondi, velocita, velocita / kLimite9600);
}
BENCHMARK(BM_BootstrapSimMb90F549_64K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A 32 KiB boot module into an MB91F465 (the whole boot flash, 0x148000 to
// 0x150000) with `bricola -B -S`: the micro check, the reset into the FR ROM
// bootstrap, the 12 KB kernel and its set-up segments at 9600 bit/s, then at
// 115200 bit/s the blank checks, the module as S2 records of 16 data bytes,
// the read-back as hex dumps of 64 values and the last word by Prog32, against
// bricola-sim --paced. The line limit is that of the kernel's speed, 11520
// bytes per second.
void BM_BootMb91F465_32K(benchmark::State& state) {
  constexpr std::uint32_t kInizio = 0x148000;
  constexpr std::uint32_t kModulo = 0x8000;
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina) << "{\"schede\": [{\"nome\": \"fr\", \"codice\": \"0x4321\", \"tipoMicro\": 8,"
                          << " \"fr\": {\"bootResidente\": false}}]}\n";
  prova::ScriviCaricatori(cartella.File("ram"), 1);
  const std::string immagine = cartella.File("boot465.bin");
  prova::CImmagine()
      .Intestazione(prova::IntestazionePerTipoLoad(10, "bench"))
      .Sequenza(kInizio, kModulo - 4, 9)
      .Dati(kInizio + kModulo - 4, {0x12, 0x34, 0x56, 0x78})
      .Fine(0x4321)
      .Scrivi(immagine);
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
        << "[Ports]\nCOM3=rfc2217://127.0.0.1:" << sim.porta << "\n[Bootstrap]\nDirectory=" << cartella.File("ram")
        << "\n";
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
  const double velocita = kModulo / secondi;
  state.counters["byte_s"] = velocita;
  state.counters["frazione_linea"] = velocita / kLimiteLinea;
  std::printf("MB91F465 boot: %u bytes written and verified in %.1f s: %.0f bytes/s, %.3f of the line limit "
              "at 115200 bit/s (11520 bytes/s)\n",
              kModulo, secondi, velocita, velocita / kLimiteLinea);
}
BENCHMARK(BM_BootMb91F465_32K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

#ifdef BRICOLA_BENCH_BOOTSTRAP
// A 64 KiB boot module into an MB90F549 through its ROM bootstrap: reset, the
// 1732-byte RAM loader at 4800 bit/s, then LunBuf (64-byte buffer: 52-byte
// chunks), blank checks, writes, the verify pass and the signature erase at
// 9600 bit/s. The board is the scripted micro of tests/bootstrap on a paced
// line (10 bits a byte at the line's speed, request and reply one after the
// other) and a simulated clock: the loader runs its real 10 ms steps, sleeps
// and deadlines, so the figure is what the protocol and the stepping cost,
// not this machine's speed. The line limit is that of the writer's speed,
// 960 bytes per second at 9600 bit/s.
void BM_BootstrapMb90F549_64K(benchmark::State& state) {
  constexpr std::uint32_t kModulo = 64 * 1024;
  constexpr double kLimite9600 = 9600.0 / 10.0;
  prova::CCartellaTemporanea cartella;
  prova::ScriviCaricatori(cartella.File("ram"), 1);
  ImpostaCartellaCaricatori(cartella.File("ram"));
  const std::string immagine = cartella.File("boot.bin");
  prova::CImmagine().Intestazione(prova::IntestazionePerTipoLoad(2)).Sequenza(0xFF0000, kModulo, 3)
      .Fine(0x0030).Scrivi(immagine);
  const std::uint32_t fine = static_cast<std::uint32_t>(prova::LeggiFile(immagine).size()) - 4;
  double secondi = 0;
  int faseFinale = 0;
  for (auto _ : state) {
    prova::COrologioFinto orologio;
    auto linea = std::make_shared<prova::SStatoLinea>();
    prova::CMicroFinto micro(orologio);
    micro.settori = {0xFC0000, 0xFD0000, 0xFE0000, 0xFF0000, 0xFF8000, 0xFFA000, 0xFFC000, 0x1000000};
    micro.cadenzato = true;
    linea->orologio = &orologio;
    linea->resetScheda = [&] { micro.Reset(linea->rts); };
    prova::InstallaLineaFinta(linea);
    prova::CInterfacciaMicro interfaccia(micro, *linea);
    int esito = 0;
    interfaccia.ApriLinea(2, 9600, 0, &esito);
    CLoad90F549Boot loader;
    loader.ImpostaOrologio(&orologio);
    const std::uint32_t indirizzi[4] = {0, 0, 0, 0};
    const int velocita[2] = {4800, 9600};
    const std::int64_t inizio = orologio.adesso;
    if (!loader.Avvia(immagine, 0, fine, 0x0030, indirizzi, 1, 2, 1, &interfaccia, 0, velocita, 0, &esito)) {
      state.SkipWithError("the writer refused to start");
      return;
    }
    int aggiorna = 0;
    while (loader.Passo(&aggiorna)) orologio.adesso += loader.PeriodoTimer();
    faseFinale = loader.fase;
    loader.Termina();
    secondi = static_cast<double>(orologio.adesso - inizio) / 1000.0;
    interfaccia.ChiudiLinea();
    ImpostaApritorePorta(nullptr);
    state.SetIterationTime(secondi);
  }
  ImpostaCartellaCaricatori("");
  if (faseFinale != 4) {
    state.SkipWithError("the writer did not end well");
    return;
  }
  const double velocita = kModulo / secondi;
  state.counters["byte_s"] = velocita;
  state.counters["frazione_linea"] = velocita / kLimite9600;
  std::printf("MB90F549 ROM bootstrap: %u bytes written and verified in %.1f s of line time: %.0f bytes/s, "
              "%.3f of the line limit at 9600 bit/s (960 bytes/s)\n",
              kModulo, secondi, velocita, velocita / kLimite9600);
}
BENCHMARK(BM_BootstrapMb90F549_64K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
#endif

}  // namespace
