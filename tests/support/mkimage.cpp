// bricola-mkimage: writes an image file from a few arguments, for scripts, the
// demo and manual tests. Built on the same builder as the test fixtures.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/crc.h"
#include "tests/support/caricatori.h"
#include "tests/support/immagine.h"

using bricola::prova::Byte;
using bricola::prova::CImmagine;
using bricola::prova::SIntestazione;

namespace {

const char* const kUso =
    "Usage: bricola-mkimage -o OUTPUT -c CODE [module options] ADDR:SOURCE... [-c CODE ...]\n"
    "\n"
    "Writes an image file of one or more modules. Each module starts with -c; the\n"
    "options and data that follow belong to it until the next -c.\n"
    "\n"
    "Module options:\n"
    "  -c CODE        machine code of the module (0x0010, 16, ...); starts a module\n"
    "  -l LOADKIND    add a header record giving this load kind (0..13): the header's\n"
    "                 micro selector and class are chosen to give it (1, 2, 6, 8, 10\n"
    "                 and 12 are boot modules)\n"
    "  -m MICRO       add a header record with this micro selector (0..9)\n"
    "  -k CLASS       module class in the header (0 Prog, 1 Boot, 2 Data, 3 Setup,\n"
    "                 4 Stat, 5 Exp, 6 Prog1, 7 Eva, 9 Mmi; default 0)\n"
    "  -n NAME        module name in the header\n"
    "  -r             header: the module may be loaded over a remote connection\n"
    "  -u             header: the module starts unticked in the module list\n"
    "  -a CAN[,CAN2]  address record (one address) or address pair record (two)\n"
    "  -d TEXT        description block with this text (a data record at address 0)\n"
    "  -s SIZE        split payloads into records of at most SIZE bytes (default 0x10000)\n"
    "  -T DIR         packed directory tree (class 9 in the header): a data record at\n"
    "                 address 0 holding a description block whose text DIR is the\n"
    "                 default target directory, then the entries below (names and\n"
    "                 contents enciphered, names kept as written, '\\' included)\n"
    "  --dir NAME     a directory entry of the tree\n"
    "  --file NAME=SOURCE  a file entry of the tree; SOURCE as for ADDR:SOURCE\n"
    "  --trailer      close the module with a bare 4-byte trailer, not an end record\n"
    "  --bad-crc      close the module with a wrong CRC\n"
    "  ADDR:SOURCE    data for flash address ADDR. SOURCE is a file path,\n"
    "                 fill=BYTE,LEN (LEN bytes equal to BYTE), seq=LEN (a test\n"
    "                 pattern) or hex=AABBCC...\n"
    "\n"
    "File options:\n"
    "  -o FILE        output file (required)\n"
    "  --raw          raw image: the data of the single module back to back (no\n"
    "                 records), then its CRC and code; the code's model row must\n"
    "                 allow raw images (0x0000, 0x0001, 0x0002)\n"
    "  -h, --help     this text\n"
    "\n"
    "  bricola-mkimage --ram-loaders DIR [SEED] writes, instead of an image, the\n"
    "  six RAM-loader files of the ROM-bootstrap loaders into DIR with their\n"
    "  names and lengths, filled with a test pattern from SEED (default 1).\n"
    "\n"
    "Numbers are decimal or 0x-prefixed hexadecimal. Exit status: 0 written,\n"
    "1 a file could not be read or written, 2 bad arguments.\n"
    "\n"
    "Examples:\n"
    "  bricola-mkimage -o app.bin -c 0x0010 0xFC0000:firmware.bin\n"
    "  bricola-mkimage -o two.bin -c 0x0082 -l 7 -n Demo 0xF80000:fill=0x5A,4096 \\\n"
    "                  -c 0x0011 -a 0x480 0xFC0000:seq=1024\n"
    "  bricola-mkimage -o raw.bin --raw -c 0x0001 0:seq=8192\n"
    "  bricola-mkimage -o tree.bin -c 0x0010 -T mmi --dir img --file 'img\\a.bin=seq=100'\n";

struct SDati {
  std::uint32_t indirizzo;
  Byte byte;
};

struct SModulo {
  std::uint16_t codice = 0;
  bool intestazione = false;
  SIntestazione h;
  int indirizzi = 0;
  std::uint32_t can[2] = {0, 0};
  bool descrizione = false;
  std::string testo;
  std::uint32_t pezzo = 0x10000;
  bool trailer = false;
  bool crcErrato = false;
  std::vector<SDati> dati;
  bool albero = false;
  std::string cartella;
  std::vector<bricola::prova::SVoceAlbero> voci;
};

bool Numero(const std::string& s, unsigned long long massimo, unsigned long long& v) {
  if (s.empty()) return false;
  errno = 0;
  char* fine = nullptr;
  v = std::strtoull(s.c_str(), &fine, 0);
  return errno == 0 && fine && *fine == '\0' && v <= massimo && s[0] != '-';
}

bool Sorgente(const std::string& s, Byte& b) {
  unsigned long long v = 0, n = 0;
  if (s.rfind("fill=", 0) == 0) {
    const std::size_t virgola = s.find(',');
    if (virgola == std::string::npos || !Numero(s.substr(5, virgola - 5), 0xFF, v) ||
        !Numero(s.substr(virgola + 1), 0x40000000, n)) {
      return false;
    }
    b.assign(n, static_cast<std::uint8_t>(v));
    return true;
  }
  if (s.rfind("seq=", 0) == 0) {
    if (!Numero(s.substr(4), 0x40000000, n)) return false;
    b = bricola::prova::Schema(static_cast<std::uint32_t>(n));
    return true;
  }
  if (s.rfind("hex=", 0) == 0) {
    const std::string h = s.substr(4);
    if (h.size() % 2) return false;
    b.clear();
    for (std::size_t i = 0; i < h.size(); i += 2) {
      if (!Numero("0x" + h.substr(i, 2), 0xFF, v)) return false;
      b.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
  }
  std::FILE* f = std::fopen(s.c_str(), "rb");
  if (!f) {
    std::fprintf(stderr, "bricola-mkimage: cannot read %s\n", s.c_str());
    return false;
  }
  b.clear();
  std::uint8_t buffer[4096];
  std::size_t letti;
  while ((letti = std::fread(buffer, 1, sizeof buffer, f)) > 0) b.insert(b.end(), buffer, buffer + letti);
  std::fclose(f);
  return true;
}

int Errore(const char* testo, const std::string& dettaglio = {}) {
  std::fprintf(stderr, "bricola-mkimage: %s%s%s\n", testo, dettaglio.empty() ? "" : ": ", dettaglio.c_str());
  std::fprintf(stderr, "Try 'bricola-mkimage --help'.\n");
  return 2;
}

void ScriviModulo(CImmagine& img, const SModulo& m) {
  if (m.indirizzi == 1) img.Indirizzo(static_cast<std::uint16_t>(m.can[0]));
  if (m.indirizzi == 2) img.CoppiaIndirizzi(m.can[0], m.can[1]);
  // The tree stands before the header: its data record is the module's first
  // record after an address record.
  if (m.albero) img.Albero(0, m.cartella, m.voci);
  if (m.intestazione) img.Intestazione(m.h);
  if (m.descrizione) img.Descrizione(0, m.testo);
  for (const SDati& d : m.dati) {
    for (std::size_t p = 0; p < d.byte.size() || (p == 0 && d.byte.empty()); p += m.pezzo) {
      const std::size_t n = std::min<std::size_t>(m.pezzo, d.byte.size() - p);
      img.Dati(d.indirizzo + static_cast<std::uint32_t>(p),
               Byte(d.byte.begin() + static_cast<std::ptrdiff_t>(p),
                    d.byte.begin() + static_cast<std::ptrdiff_t>(p + n)));
      if (d.byte.empty()) break;
    }
  }
  const std::uint16_t crcSbagliato = static_cast<std::uint16_t>(img.CrcModulo() ^ 0x5A5A);
  if (m.trailer) {
    if (m.crcErrato) {
      img.TrailerCrc(m.codice, crcSbagliato);
    } else {
      img.Trailer(m.codice);
    }
  } else if (m.crcErrato) {
    // The right CRC also covers the end record's first 8 bytes (all 0xFF).
    const std::uint8_t testa[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const std::uint16_t giusto = bricola::CrcBitPerBit(img.CrcModulo(), testa, sizeof testa);
    img.FineCrc(m.codice, static_cast<std::uint16_t>(giusto ^ 0x5A5A));
  } else {
    img.Fine(m.codice);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "--ram-loaders") {
    const auto seme = argc >= 4 ? static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 0)) : 1u;
    return bricola::prova::ScriviCaricatori(argv[2], seme) ? 0 : 1;
  }
  std::string uscita;
  bool grezzo = false;
  std::vector<SModulo> moduli;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto valore = [&](std::string& v) {
      if (i + 1 >= argc) return false;
      v = argv[++i];
      return true;
    };
    std::string v;
    unsigned long long n = 0;
    if (a == "-h" || a == "--help" || a == "-?") {
      std::fputs(kUso, stdout);
      return 0;
    }
    if (a == "-o") {
      if (!valore(uscita)) return Errore("-o needs a file name");
      continue;
    }
    if (a == "--raw") {
      grezzo = true;
      continue;
    }
    if (a == "-c") {
      if (!valore(v) || !Numero(v, 0xFFFF, n)) return Errore("-c needs a code from 0 to 0xFFFF");
      moduli.emplace_back();
      moduli.back().codice = static_cast<std::uint16_t>(n);
      continue;
    }
    if (moduli.empty()) return Errore("module data or option before the first -c", a);
    SModulo& m = moduli.back();
    if (a == "-l") {
      if (!valore(v) || !Numero(v, 13, n)) return Errore("-l needs a load kind from 0 to 13");
      const SIntestazione h = bricola::prova::IntestazionePerTipoLoad(static_cast<int>(n));
      m.intestazione = true;
      m.h.tipoMicro = h.tipoMicro;
      m.h.tipoModulo = h.tipoModulo;
    } else if (a == "-m") {
      if (!valore(v) || !Numero(v, 0xFFFF, n)) return Errore("-m needs a micro selector");
      m.intestazione = true;
      m.h.tipoMicro = static_cast<int>(n);
    } else if (a == "-k") {
      if (!valore(v) || !Numero(v, 0xFF, n)) return Errore("-k needs a module class");
      m.intestazione = true;
      m.h.tipoModulo = static_cast<int>(n);
    } else if (a == "-n") {
      if (!valore(v)) return Errore("-n needs a name");
      m.intestazione = true;
      m.h.nome = v;
    } else if (a == "-r") {
      m.intestazione = true;
      m.h.caricabileRemoto = true;
    } else if (a == "-u") {
      m.intestazione = true;
      m.h.nonSelezionato = true;
    } else if (a == "-a") {
      if (!valore(v)) return Errore("-a needs an address");
      const std::size_t virgola = v.find(',');
      unsigned long long secondo = 0;
      if (virgola == std::string::npos) {
        if (!Numero(v, 0xFFFF, n)) return Errore("bad CAN address", v);
        m.indirizzi = 1;
      } else {
        if (!Numero(v.substr(0, virgola), 0xFFFFFFFF, n) || !Numero(v.substr(virgola + 1), 0xFFFFFFFF, secondo)) {
          return Errore("bad CAN address pair", v);
        }
        m.indirizzi = 2;
      }
      m.can[0] = static_cast<std::uint32_t>(n);
      m.can[1] = static_cast<std::uint32_t>(secondo);
    } else if (a == "-d") {
      if (!valore(m.testo)) return Errore("-d needs a text");
      m.descrizione = true;
    } else if (a == "-s") {
      if (!valore(v) || !Numero(v, 0x40000000, n) || n == 0) return Errore("-s needs a positive size");
      m.pezzo = static_cast<std::uint32_t>(n);
    } else if (a == "-T") {
      if (!valore(m.cartella)) return Errore("-T needs a directory name");
      m.albero = true;
      m.intestazione = true;
      m.h.tipoModulo = 9;
    } else if (a == "--dir" || a == "--file") {
      if (!m.albero) return Errore("tree entries need -T first", a);
      if (!valore(v)) return Errore("a tree entry needs a name", a);
      bricola::prova::SVoceAlbero voce;
      if (a == "--dir") {
        voce.percorso = v;
        voce.cartella = true;
      } else {
        const std::size_t uguale = v.find('=');
        if (uguale == std::string::npos) return Errore("--file needs NAME=SOURCE", v);
        voce.percorso = v.substr(0, uguale);
        if (!Sorgente(v.substr(uguale + 1), voce.contenuto)) return Errore("bad data source", v);
      }
      m.voci.push_back(std::move(voce));
    } else if (a == "--trailer") {
      m.trailer = true;
    } else if (a == "--bad-crc") {
      m.crcErrato = true;
    } else if (!a.empty() && a[0] != '-' && a.find(':') != std::string::npos) {
      const std::size_t due = a.find(':');
      SDati d{};
      if (!Numero(a.substr(0, due), 0xFFFFFFFF, n)) return Errore("bad address", a);
      d.indirizzo = static_cast<std::uint32_t>(n);
      if (!Sorgente(a.substr(due + 1), d.byte)) return Errore("bad data source", a);
      m.dati.push_back(std::move(d));
    } else {
      return Errore("unknown argument", a);
    }
  }
  if (uscita.empty()) return Errore("no output file (-o)");
  if (moduli.empty()) return Errore("no module (-c)");

  Byte file;
  if (grezzo) {
    if (moduli.size() != 1) return Errore("a raw image holds exactly one module");
    Byte contenuto;
    for (const SDati& d : moduli[0].dati) contenuto.insert(contenuto.end(), d.byte.begin(), d.byte.end());
    file = moduli[0].crcErrato
               ? bricola::prova::ImmagineGrezzaCrc(
                     contenuto, moduli[0].codice,
                     static_cast<std::uint16_t>(bricola::CCrc::Calcola(contenuto.data(), contenuto.size()) ^ 0x5A5A))
               : bricola::prova::ImmagineGrezza(contenuto, moduli[0].codice);
  } else {
    CImmagine img;
    for (const SModulo& m : moduli) {
      if (m.dati.empty() && !m.descrizione && !m.intestazione && m.indirizzi == 0 && !m.albero) {
        return Errore("a module needs at least one record before its end");
      }
      ScriviModulo(img, m);
    }
    file = img.Contenuto();
  }
  if (!bricola::prova::ScriviFile(uscita, file)) {
    std::fprintf(stderr, "bricola-mkimage: cannot write %s\n", uscita.c_str());
    return 1;
  }
  return 0;
}
