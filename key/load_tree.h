// CLoadTree: unpacks a packed directory tree (a module of class 9) into a
// directory on the local disk, one entry per step. Entry names and contents
// are deciphered; names are paths relative to the target directory, which is
// the one given by ImpostaNome or else the tree's own description text.
//
// Unpacking is confined to the target directory: backslashes in names and in
// the target are separators, and an entry whose name is absolute (a leading
// separator or a drive letter) or climbs above the target with ".." is refused
// with RC_BLOCK_WRITE before anything of it is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "image/analisi.h"
#include "load/load.h"

namespace bricola {

// What a name of a packed entry becomes, with the separators made '/':
// the path relative to the target directory with "." and ".." resolved, or
// nothing when the name is absolute or leaves the target directory.
std::optional<std::string> PercorsoRelativoSicuro(const std::string& nome);

class CLoadTree : public CLoad {
 public:
  static constexpr std::uint32_t kPezzo = 512;  // content is copied in pieces of this size

  CLoadTree() = default;

  int PeriodoTimer() override { return 10; }
  // Checks the module (class 9 only) and opens its packed tree.
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine, std::uint16_t codice,
            const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad, int tipoMicro,
            CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni, int* esito) override;
  // Unpacks one entry.
  int Passo(int* aggiorna) override;
  // Drops both directory names and closes the image file.
  int Termina() override;
  // The target directory (UTF-8); null clears it.
  void ImpostaNome(const char* nome) override;
  // Nonzero: print every unpacked entry name on the standard output.
  void ImpostaOpzione(int valore) override { stampaNomi = valore != 0; }

  // Where the names go when printed (standard output unless a test says otherwise).
  void ImpostaUscitaNomi(std::FILE* f) { uscitaNomi = f ? f : stdout; }

  bool Finito() const { return finito; }
  const std::string& CartellaPredefinita() const { return cartellaPredefinita; }
  // The directory entries unpack into: the given name, else the default.
  std::string CartellaDestinazione() const;

 private:
  enum class Voce { fatta, fineAlbero, errore };
  int Fallisci(int codice);
  // Opens the tree at inizio: record head, block head, description entries.
  bool ApriAlbero(std::uint32_t inizio, std::uint32_t fine);
  Voce EstraiVoce(std::uint32_t* contenuto);

  bool finito = true;
  std::string cartellaPredefinita;
  bool conDescrizione = false;
  std::optional<std::string> nomeDestinazione;
  std::uint32_t fineDati = 0;
  bool stampaNomi = false;
  std::FILE* uscitaNomi = stdout;
  CFileWin fileUscita;
};

}  // namespace bricola
