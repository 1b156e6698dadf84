// libFuzzer target: unpacking of packed directory trees. The first byte picks
// the kind of input:
//   bit 0 clear: entries built from the rest (kind, name, content), stored as
//   the image builder stores them, then optionally one 4-byte field of the
//   payload overwritten (names and lengths lie);
//   bit 0 set: the rest is the payload of the tree record, as it stands.
//   bit 1: the target directory is given (else the tree's own text names it,
//   which it does only for a tree built whole).
// Each input unpacks into a fresh directory, deep inside a scratch folder. What
// must hold: nothing appears or changes in the scratch folder outside the
// target; no link is created; what is written is bounded by the payload; the
// number of steps is bounded by the entries the payload can hold; an entry
// built whole and safe is unpacked with its content.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <cstdio>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "base/esiti.h"
#include "image/analisi.h"
#include "key/load_tree.h"
#include "tests/fuzz/verifica.h"
#include "tests/support/cartella.h"
#include "tests/support/immagine.h"

namespace fs = std::filesystem;

namespace {

using bricola::prova::Byte;

// Path -> size (-1 for a directory) of everything below `radice`, except `escluso`.
std::map<std::string, std::intmax_t> Elenco(const fs::path& radice, const fs::path& escluso) {
  std::map<std::string, std::intmax_t> r;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(radice, ec); !ec && it != fs::recursive_directory_iterator();
       it.increment(ec)) {
    if (it->path() == escluso) {
      it.disable_recursion_pending();
      continue;
    }
    Verifica(!it->is_symlink());
    r[it->path().string()] = it->is_directory() ? -1 : static_cast<std::intmax_t>(it->file_size());
  }
  return r;
}

struct SLettore {
  const std::uint8_t* d;
  std::size_t n;
  std::size_t p = 0;
  bool Fine() const { return p >= n; }
  std::uint8_t Byte1() { return p < n ? d[p++] : 0; }
  std::string Testo(std::size_t k) {
    std::string s;
    while (k-- && p < n) s.push_back(static_cast<char>(d[p++]));
    return s;
  }
};

// A name of plain letters and digits in parts joined by '/': nothing to resolve.
bool Semplice(const std::string& nome) {
  if (nome.empty() || nome.front() == '/' || nome.back() == '/') return false;
  char prima = '/';
  for (const char c : nome) {
    const bool lettera = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!lettera && !(c == '/' && prima != '/')) return false;
    prima = c;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dati, std::size_t n) {
  using namespace bricola;
  if (n < 1) return 0;
  static prova::CCartellaTemporanea base;
  static int numero = 0;
  const fs::path radice = base.Percorso();
  // A sentinel beside the target, to see it unchanged.
  static const bool pronto = [&] { return prova::ScriviFile(base.File("sentinella"), {1, 2, 3}); }();
  Verifica(pronto);
  const fs::path lavoro = radice / ("n" + std::to_string(++numero % 4));
  const fs::path destinazione = lavoro / "a" / "b" / "c" / "dest";
  std::error_code ec;
  fs::remove_all(lavoro, ec);

  const int modo = dati[0];
  SLettore in{dati + 1, n - 1};
  Byte payload;
  std::vector<prova::SVoceAlbero> voci;
  bool intero = true;
  if ((modo & 1) == 0) {
    while (!in.Fine() && voci.size() < 16) {
      const std::uint8_t tipo = in.Byte1();
      prova::SVoceAlbero v;
      v.cartella = (tipo & 1) != 0;
      v.percorso = in.Testo(in.Byte1() % 24);
      if (!v.cartella) {
        const std::string c = in.Testo(in.Byte1());
        v.contenuto.assign(c.begin(), c.end());
      }
      voci.push_back(std::move(v));
    }
    const std::string testoAlbero = destinazione.string();
    payload = prova::BloccoDescrizione(0, testoAlbero, voci);
    if (modo & 4) {
      // One field overwritten: the index and value come from the first byte's
      // high bits and the names (enough to walk every field).
      const std::size_t k = (static_cast<std::size_t>(modo >> 3) * 4 + (n * 7)) % payload.size();
      for (std::size_t i = 0; i < 4 && k + i < payload.size(); ++i) payload[k + i] ^= dati[(n - 1 - i) % n];
      intero = false;
    }
  } else {
    payload.assign(dati + 1, dati + n);
    intero = false;
  }

  prova::CImmagine img;
  prova::SIntestazione h;
  h.tipoModulo = MODULO_MMI;
  h.nome = "albero";
  img.Intestazione(h);
  img.Dati(0, payload);
  img.Fine(0x1234);
  const std::string immagine = base.File("tree.bin");
  Verifica(img.Scrivi(immagine));
  const std::uint32_t fine = img.Posizione() - 4;
  fs::create_directories(destinazione.parent_path(), ec);
  const auto prima = Elenco(radice, destinazione);

  CLoadTree loader;
  loader.ImpostaUscitaNomi(nullptr);
  const std::string dest = destinazione.string();
  // The tree's own text names the target only when the tree is whole: a text
  // the input has changed could name any place at all.
  if ((modo & 2) || !intero) loader.ImpostaNome(dest.c_str());
  int esito = -1;
  int passi = 0;
  int fase = -1;
  if (loader.Avvia(immagine, 0, fine, 0x1234, nullptr, MODULO_MMI, 3, 0, nullptr, 0, nullptr, 0, &esito)) {
    int aggiorna = 0;
    // Each step takes an entry, and an entry takes at least its 16-byte head.
    const int limite = static_cast<int>(payload.size() / 16) + 2;
    while (loader.Passo(&aggiorna)) Verifica(++passi <= limite);
    fase = loader.fase;
    Verifica((fase == ST_DONE) == (loader.esito == RC_OK));
  } else {
    Verifica(esito != RC_OK);
  }
  loader.Termina();

  // Nothing changed beside the target (in the image, in the sentinel, in the
  // parents of the target: they stay as created).
  fs::remove(immagine, ec);
  auto dopo = Elenco(radice, destinazione);
  auto primaSenzaImmagine = prima;
  primaSenzaImmagine.erase(immagine);
  if (dopo != primaSenzaImmagine) {
    for (const auto& [k, v] : dopo) {
      if (!primaSenzaImmagine.count(k)) std::fprintf(stderr, "new outside the target: %s\n", k.c_str());
    }
    for (const auto& [k, v] : primaSenzaImmagine) {
      if (!dopo.count(k)) std::fprintf(stderr, "gone outside the target: %s\n", k.c_str());
    }
  }
  Verifica(dopo == primaSenzaImmagine);
  // What was written is bounded by the payload.
  std::intmax_t scritti = 0;
  if (fs::exists(destinazione, ec)) {
    for (const auto& [p, dimensione] : Elenco(destinazione, fs::path())) scritti += dimensione > 0 ? dimensione : 0;
  }
  Verifica(scritti <= static_cast<std::intmax_t>(payload.size()));
  // A tree built whole unpacks every plain name with its content: the last
  // entry of each name wins, and a name another entry goes below is left out.
  if (intero && loader.esito == RC_OK && fase == ST_DONE) {
    for (std::size_t i = 0; i < voci.size(); ++i) {
      const auto& v = voci[i];
      if (v.cartella || !Semplice(v.percorso)) continue;
      bool coperta = false;
      for (std::size_t j = 0; j < voci.size(); ++j) {
        if (j == i) continue;
        const std::string& a = voci[j].percorso;
        if ((j > i && a == v.percorso) || a.rfind(v.percorso + "/", 0) == 0 || v.percorso.rfind(a + "/", 0) == 0) {
          coperta = true;
        }
      }
      if (coperta) continue;
      const Byte letto = prova::LeggiFile((destinazione / v.percorso).string());
      Verifica(letto == v.contenuto);
    }
  }
  fs::remove_all(lavoro, ec);
  return 0;
}
