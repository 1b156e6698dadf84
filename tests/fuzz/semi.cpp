// Writes the starting corpus of the analysis fuzzer: one small file of each
// shape the analysis knows, made with the test image builder.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/immagine.h"

using namespace bricola::prova;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bricola_fuzz_semi DIRECTORY\n");
    return 2;
  }
  const std::filesystem::path cartella = argv[1];
  std::error_code ec;
  std::filesystem::remove_all(cartella, ec);
  std::filesystem::create_directories(cartella);

  std::vector<std::pair<std::string, Byte>> semi;
  semi.emplace_back("semplice", CImmagine().Dati(0xFC0000, {1, 2, 3, 4}).Fine(0x0010).Contenuto());
  semi.emplace_back("intestazione",
                    CImmagine()
                        .Indirizzo(0x482)
                        .Intestazione({.tipoMicro = 4, .tipoModulo = 1, .caricabileRemoto = true,
                                       .nonSelezionato = false, .nome = "boot"})
                        .CoppiaIndirizzi(0x480, 0x485)
                        .DatiUtente({1, 2, 3})
                        .Sequenza(0xF80000, 40)
                        .Fine(0x0082)
                        .Contenuto());
  semi.emplace_back("descrizione", CImmagine().Descrizione(0, "testo", 3).Riempi(0xFC0000, 16, 0).Fine(0x0011).Contenuto());
  semi.emplace_back("albero", CImmagine()
                                  .Albero(0, "dir", {{"a\\b", false, {1, 2, 3}}, {"a", true, {}}}, 9)
                                  .Fine(0x0010)
                                  .Contenuto());
  semi.emplace_back("marche", CImmagine().Font(0xA00000).Figura(0xA10000).Fine(0x0010).Contenuto());
  semi.emplace_back("trailer", CImmagine().Dati(0xFF0000, {1, 2, 3}).Trailer(0x0030).Contenuto());
  semi.emplace_back("due", CImmagine().Dati(0xFC0000, {1}).Fine(0x0011).Riservato(0x0042, {1, 2}).Dati(0x400000, {5}).Trailer(0x0031).Contenuto());
  semi.emplace_back("grezzo", ImmagineGrezza(Schema(64), 0x0001));
  semi.emplace_back("tipo0", CImmagine().Riempi(0, 0, 0).Dati(0x100, {1, 2}).Fine(0x0000).Contenuto());
  semi.emplace_back("quattro", Byte{0x00, 0x00, 0x00, 0x10});
  for (const auto& [nome, contenuto] : semi) {
    if (!ScriviFile((cartella / nome).string(), contenuto)) return 1;
  }
  return 0;
}
