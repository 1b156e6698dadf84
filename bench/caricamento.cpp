// Speed of loads on lines that run at their real pace: bricola-sim --paced
// (10 bits per byte at the line's speed) serves one machine over RFC 2217 on
// 127.0.0.1, and the real program loads a module into it with
// `bricola -B -S -C 3 image.bin`.
//
// Counters of every row:
//   byte_s               module bytes over the whole job's time (the child's
//                        life: start-up, reset, identification, writing,
//                        reading back, end);
//   frazione_linea       byte_s over 11520 bytes/s, what 115200 bit/s carries;
//   frazione_protocollo  the simulator's least line time for the bytes it saw
//                        both ways and the pauses the boards must be given
//                        (its dump, "minimoLinea"), over the measured time;
//   cpu_frazione         the child's user + system CPU time (wait4) over the
//                        measured time.
// BRICOLA_BENCH_PROGRAMMA names another bricola to measure (an older build).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/caricatori.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"
#ifdef BRICOLA_BENCH_BOOTSTRAP
#include "bootstrap/load_boot_f2mc.h"
#include "comm/porta_seriale.h"
#include "tests/bootstrap/micro_finto.h"
#endif

namespace {

using namespace bricola;

constexpr double kLimiteLinea = 115200.0 / 10.0;  // bytes per second: 10 bits a byte
constexpr std::uint32_t kDimensioneModulo = 256 * 1024;
constexpr std::uint32_t kIndirizzo = 0x400000;  // external flash of the board

std::string Programma() {
  const char* altro = std::getenv("BRICOLA_BENCH_PROGRAMMA");
  return altro != nullptr && *altro ? altro : BRICOLA_PROGRAMMA;
}

// The simulator, started for one load and stopped with it; its dump is read
// once it has ended.
class CSimulatore {
 public:
  CSimulatore(const std::string& macchina, const std::string& uscita, const std::string& dump) : dump_(dump) {
    std::remove(dump.c_str());
    const std::string comando = std::string("exec ") + BRICOLA_SIM + " --paced --listen 127.0.0.1:0 --machine '" +
                                macchina + "' --dump '" + dump + "' > '" + uscita + "' 2>/dev/null & echo $!";
    FILE* p = ::popen(comando.c_str(), "r");
    if (p != nullptr) {
      if (std::fscanf(p, "%d", &pid) != 1) pid = -1;
      ::pclose(p);
    }
    // The port is on the first line of its output.
    for (int i = 0; i < 500 && porta == 0; ++i) {
      ::usleep(10000);
      std::ifstream in(uscita);
      std::string riga;
      if (std::getline(in, riga)) std::sscanf(riga.c_str(), "listening on 127.0.0.1:%d", &porta);
    }
  }
  ~CSimulatore() { Ferma(); }
  // Stops it (it writes its dump on the way out); the least line time in seconds.
  double MinimoSecondi() {
    Ferma();
    std::ifstream in(dump_);
    std::stringstream t;
    t << in.rdbuf();
    const std::string testo = t.str();
    const auto k = testo.find("\"minimoMs\"");
    if (k == std::string::npos) return 0;
    const auto due = testo.find(':', k);
    return std::strtod(testo.c_str() + due + 1, nullptr) / 1000.0;
  }
  int porta = 0;

 private:
  void Ferma() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      // Not our child (the shell started it): wait until it has gone, and
      // with it written its dump.
      for (int i = 0; i < 500 && ::kill(pid, 0) == 0; ++i) {
        ::waitpid(pid, nullptr, WNOHANG);
        ::usleep(5000);
      }
      pid = -1;
    }
  }
  std::string dump_;
  int pid = -1;
};

// One finished run of the program.
struct SEsito {
  int stato = -1;
  double secondi = 0;
  double cpu = 0;  // user + system seconds of the child
};

// Starts `bricola -B -S -C 3 image` with its own settings and temporary
// folders; the child's pid.
pid_t AvviaBricola(const std::string& cartella, const std::string& immagine) {
  const std::string programma = Programma();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("XDG_CONFIG_HOME", cartella.c_str(), 1);
    ::setenv("TMPDIR", cartella.c_str(), 1);
    const int nulla = ::open("/dev/null", O_WRONLY);
    if (nulla >= 0) {
      ::dup2(nulla, 1);
      ::dup2(nulla, 2);
    }
    ::execl(programma.c_str(), programma.c_str(), "-B", "-S", "-C", "3", immagine.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

SEsito Attendi(pid_t pid, std::chrono::steady_clock::time_point inizio) {
  SEsito e;
  int s = 0;
  rusage ru{};
  if (::wait4(pid, &s, 0, &ru) == pid) {
    e.stato = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    e.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
            static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  }
  e.secondi = std::chrono::duration<double>(std::chrono::steady_clock::now() - inizio).count();
  return e;
}

// A settings folder whose COM3 is the simulator's port.
void ScriviImpostazioni(const std::string& cartella, int porta, const std::string& extra = {}) {
  ::mkdir((cartella + "/Corvanti").c_str(), 0755);
  std::ofstream(cartella + "/Corvanti/bricola.ini") << "[Ports]\nCOM3=rfc2217://127.0.0.1:" << porta << "\n" << extra;
}

// One load of `immagine` into the machine described by `macchina`, with the
// counters of the row. `byteModulo`: the module's bytes.
void CaricaEMisura(benchmark::State& state, const std::string& macchina, const std::string& immagine,
                   std::uint32_t byteModulo, const std::string& extra, const char* descrizione) {
  prova::CCartellaTemporanea cartella;
  SEsito e;
  double minimo = 0;
  for (auto _ : state) {
    CSimulatore sim(macchina, cartella.File("sim.out"), cartella.File("dump.json"));
    if (sim.porta == 0) {
      state.SkipWithError("bricola-sim did not start");
      return;
    }
    ScriviImpostazioni(cartella.Percorso(), sim.porta, extra);
    const auto inizio = std::chrono::steady_clock::now();
    e = Attendi(AvviaBricola(cartella.Percorso(), immagine), inizio);
    minimo = sim.MinimoSecondi();
    state.SetIterationTime(e.secondi);
  }
  if (e.stato != 0) {
    state.SkipWithError(("the load ended with status " + std::to_string(e.stato)).c_str());
    return;
  }
  const double velocita = byteModulo / e.secondi;
  state.counters["byte_s"] = velocita;
  state.counters["frazione_linea"] = velocita / kLimiteLinea;
  state.counters["frazione_protocollo"] = minimo / e.secondi;
  state.counters["cpu_frazione"] = e.cpu / e.secondi;
  std::printf("%s: %u bytes in %.2f s: %.0f bytes/s, %.3f of 11520 bytes/s; protocol minimum %.2f s (%.3f); "
              "CPU %.3f s (%.4f)\n",
              descrizione, byteModulo, e.secondi, velocita, velocita / kLimiteLinea, minimo, minimo / e.secondi,
              e.cpu, e.cpu / e.secondi);
}

// The demo board's 512-byte packet buffer, external CFI flash at 0x400000.
std::string MacchinaResidente(int tipoMicro) {
  std::ostringstream m;
  m << "{\"schede\": [{\"nome\": \"controllo\", \"codice\": \"0x1234\", \"versione\": \"0x68\","
    << " \"tipoMicro\": " << tipoMicro << ", \"velocitaMassima\": 1, \"codiceBuffer\": \"0xA0\","
    << " \"flash\": {\"mappa\": \"M256\", \"esterne\": [{\"base\": \"0x400000\", \"tipo\": \"cfi\","
    << " \"dimensione\": \"0x200000\", \"settori\": \"EBottom\"}]}}]}\n";
  return m.str();
}

// 256 KiB through the resident boot at 115200 bit/s: micro type 1, which batch
// mode's optimised verify writes without reading back, and micro type 7, whose
// every byte is written and read back.
void BM_Caricamento256K(benchmark::State& state) {
  const int tipoMicro = static_cast<int>(state.range(0));
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina) << MacchinaResidente(tipoMicro);
  const std::string immagine = cartella.File("image.bin");
  prova::SIntestazione h;
  h.tipoMicro = 1;
  h.nome = "bench";
  prova::CImmagine().Intestazione(h).Sequenza(kIndirizzo, kDimensioneModulo, 7).Fine(0x1234).Scrivi(immagine);
  CaricaEMisura(state, macchina, immagine, kDimensioneModulo, {},
                tipoMicro == 1 ? "resident boot, micro type 1 (written)" : "resident boot, micro type 7 (written and read back)");
}
BENCHMARK(BM_Caricamento256K)->Arg(1)->Arg(7)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A remote board behind the local one, reached by CAN address 0482 (SetRemoto,
// Reboot and its half second), a 46-byte module written and read back.
void BM_RemotoCan46(benchmark::State& state) {
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina)
      << "{\"schede\": [{\"nome\": \"controllo\", \"codice\": \"0x1234\", \"versione\": \"0x68\", \"tipoMicro\": 1,"
      << " \"velocitaMassima\": 1, \"codiceBuffer\": \"0xA0\", \"indirizzoCan\": \"0x0100\", \"flash\": {\"mappa\": \"M256\"}},"
      << " {\"nome\": \"pagamenti\", \"codice\": \"0x2001\", \"versione\": \"0x68\", \"tipoMicro\": 7,"
      << " \"codiceBuffer\": \"0x90\", \"indirizzoCan\": \"0x0482\", \"flash\": {\"mappa\": \"M256\"}}]}\n";
  const std::string immagine = cartella.File("image.bin");
  prova::SIntestazione h;
  h.tipoMicro = 7;
  h.nome = "can";
  prova::CImmagine().Indirizzo(0x482).Intestazione(h).Sequenza(0xFC0000, 46, 5).Fine(0x2001).Scrivi(immagine);
  CaricaEMisura(state, macchina, immagine, 46, {}, "remote board at CAN 0482, 46 bytes written and read back");
}
BENCHMARK(BM_RemotoCan46)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A 64 KiB boot module into an MB90F549 through its ROM bootstrap, end to end:
// bricola-sim --paced answers as the chip's ROM bootstrap and its RAM loader do
// (loader buffer 128 bytes: 116-byte chunks). The time is the whole job's,
// reset and RAM loader at 4800 bit/s included; the writer runs at 9600 bit/s,
// whose 960 bytes/s frazione_linea_9600 compares with.
void BM_BootstrapSimMb90F549_64K(benchmark::State& state) {
  constexpr std::uint32_t kModulo = 64 * 1024;
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina) << "{\"schede\": [{\"nome\": \"micro\", \"f2mc\": {\"micro\": \"Q\"}}]}\n";
  prova::ScriviCaricatori(cartella.File("ram"), 1);
  const std::string immagine = cartella.File("module.bin");
  prova::CImmagine().Intestazione(prova::IntestazionePerTipoLoad(2)).Sequenza(0xFF0000, kModulo, 3)
      .Fine(0x0030).Scrivi(immagine);
  CaricaEMisura(state, macchina, immagine, kModulo, "[Bootstrap]\nDirectory=" + cartella.File("ram") + "\n",
                "MB90F549 boot module through its ROM bootstrap (written and verified)");
  if (state.counters.count("byte_s")) state.counters["frazione_linea_9600"] = state.counters["byte_s"] / 960.0;
}
BENCHMARK(BM_BootstrapSimMb90F549_64K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A 32 KiB boot module into an MB91F465 (the whole boot flash, 0x148000 to
// 0x150000): the micro check, the reset into the FR ROM bootstrap, the 12 KB
// kernel and its set-up segments at 9600 bit/s, then at 115200 bit/s the blank
// checks, the module as S2 records of 16 data bytes, the read-back as hex dumps
// of 64 values and the last word by Prog32.
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
  CaricaEMisura(state, macchina, immagine, kModulo, "[Bootstrap]\nDirectory=" + cartella.File("ram") + "\n",
                "MB91F465 boot module through the kernel (written and verified)");
}
BENCHMARK(BM_BootMb91F465_32K)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// A workshop bench: four machines, one `bricola -B` per port, all at once
// (the resident boot row without read-back, 256 KiB each). Each must succeed;
// rapporto is the time of the four together over the time of one alone.
void BM_QuattroInParallelo(benchmark::State& state) {
  constexpr int kMacchine = 4;
  prova::CCartellaTemporanea cartella;
  const std::string macchina = cartella.File("machine.json");
  std::ofstream(macchina) << MacchinaResidente(1);
  const std::string immagine = cartella.File("image.bin");
  prova::SIntestazione h;
  h.tipoMicro = 1;
  h.nome = "bench";
  prova::CImmagine().Intestazione(h).Sequenza(kIndirizzo, kDimensioneModulo, 7).Fine(0x1234).Scrivi(immagine);
  double uno = 0, quattro = 0, cpu = 0;
  for (auto _ : state) {
    // One alone.
    {
      const std::string c = cartella.File("solo");
      ::mkdir(c.c_str(), 0755);
      CSimulatore sim(macchina, c + "/sim.out", c + "/dump.json");
      ScriviImpostazioni(c, sim.porta);
      const auto inizio = std::chrono::steady_clock::now();
      const SEsito e = Attendi(AvviaBricola(c, immagine), inizio);
      if (sim.porta == 0 || e.stato != 0) {
        state.SkipWithError(("the single load ended with status " + std::to_string(e.stato)).c_str());
        return;
      }
      uno = e.secondi;
    }
    // Four at once, each with its own machine, settings and log folder.
    std::vector<std::unique_ptr<CSimulatore>> sim;
    std::vector<std::string> cartelle;
    for (int i = 0; i < kMacchine; ++i) {
      cartelle.push_back(cartella.File("m" + std::to_string(i)));
      ::mkdir(cartelle.back().c_str(), 0755);
      sim.push_back(std::make_unique<CSimulatore>(macchina, cartelle.back() + "/sim.out", cartelle.back() + "/dump.json"));
      if (sim.back()->porta == 0) {
        state.SkipWithError("bricola-sim did not start");
        return;
      }
      ScriviImpostazioni(cartelle.back(), sim.back()->porta);
    }
    const auto inizio = std::chrono::steady_clock::now();
    std::vector<pid_t> figli;
    for (int i = 0; i < kMacchine; ++i) figli.push_back(AvviaBricola(cartelle[static_cast<std::size_t>(i)], immagine));
    for (int i = 0; i < kMacchine; ++i) {
      const SEsito e = Attendi(figli[static_cast<std::size_t>(i)], inizio);
      if (e.stato != 0) {
        state.SkipWithError(("load " + std::to_string(i + 1) + " ended with status " + std::to_string(e.stato)).c_str());
        return;
      }
      cpu += e.cpu;
      quattro = e.secondi;  // the last to end: the time of the four
    }
    state.SetIterationTime(quattro);
  }
  state.counters["secondi_uno"] = uno;
  state.counters["secondi_quattro"] = quattro;
  state.counters["rapporto"] = quattro / uno;
  state.counters["cpu_frazione"] = cpu / kMacchine / quattro;
  std::printf("four loads of 256 KiB at once: %.2f s, one alone %.2f s: %.3f x\n", quattro, uno, quattro / uno);
}
BENCHMARK(BM_QuattroInParallelo)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

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
