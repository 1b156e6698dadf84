// Speed of the image layer: the module CRC (MB/s over 1 MiB) and the analysis
// of a 16 MiB image of 64 modules, in memory and on disk.
#include <benchmark/benchmark.h>

#include <vector>

#include "image/analisi.h"
#include "image/crc.h"
#include "image/file.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace {

using namespace bricola;

const std::vector<std::uint8_t>& Mebibyte() {
  static const std::vector<std::uint8_t> dati = prova::Schema(1 << 20, 3);
  return dati;
}

void BM_Crc(benchmark::State& state) {
  const auto& dati = Mebibyte();
  for (auto _ : state) {
    benchmark::DoNotOptimize(CCrc::Calcola(dati.data(), dati.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(dati.size()));
}
BENCHMARK(BM_Crc);

// The definition, one bit at a time, for comparison.
void BM_CrcBitPerBit(benchmark::State& state) {
  const auto& dati = Mebibyte();
  for (auto _ : state) {
    benchmark::DoNotOptimize(CrcBitPerBit(0, dati.data(), dati.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(dati.size()));
}
BENCHMARK(BM_CrcBitPerBit);

// 64 modules of 256 KB, each in 4 data records of 64 KB, with header and address.
const std::vector<std::uint8_t>& Immagine16MiB() {
  static const std::vector<std::uint8_t> file = [] {
    prova::CImmagine img;
    for (int m = 0; m < 64; ++m) {
      img.Indirizzo(0x482).Intestazione({.tipoMicro = 1, .tipoModulo = 0, .caricabileRemoto = true,
                                         .nonSelezionato = false, .nome = "modulo"});
      for (std::uint32_t r = 0; r < 4; ++r) img.Sequenza(0x400000 + r * 0x10000, 0x10000, static_cast<std::uint32_t>(m * 4) + r);
      img.Fine(0x0010);
    }
    return img.Contenuto();
  }();
  return file;
}

void Analizza(benchmark::State& state, CAnalisiFile& analisi, const std::string& nome) {
  std::vector<CProgDescr> descrittori(kMaxModuli);
  int n = 0, tv = 0, inu = 0, gr = 0, err = 0;
  for (auto _ : state) {
    const int esito = analisi.AnalizzaFile(nome, descrittori.data(), kMaxModuli, n, tv, inu, gr, err);
    if (esito != 1 || n != 64 || tv != 1) state.SkipWithError("analysis failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(Immagine16MiB().size()));
  state.counters["moduli"] = n;
}

void BM_AnalisiMemoria(benchmark::State& state) {
  CFileMemoria file(Immagine16MiB());
  CAnalisiFile analisi;
  analisi.ImpostaSorgente(true, &file);
  analisi.ImpostaVerificaCrc(state.range(0) != 0);
  Analizza(state, analisi, "");
}
BENCHMARK(BM_AnalisiMemoria)->ArgName("crc")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_AnalisiDisco(benchmark::State& state) {
  prova::CCartellaTemporanea cartella;
  const std::string nome = cartella.File("immagine.bin");
  prova::ScriviFile(nome, Immagine16MiB());
  CAnalisiFile analisi;
  analisi.ImpostaVerificaCrc(state.range(0) != 0);
  Analizza(state, analisi, nome);
}
BENCHMARK(BM_AnalisiDisco)->ArgName("crc")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
