// CLoadMemox: copies modules onto the Memox key as files of its file system,
// one page per step and then the directory; the same object reads the key's
// files back into one image file on disk, counts them and empties the key.
#pragma once

#include <cstdint>
#include <string>

#include "key/memox.h"
#include "key/memox_interfaccia.h"
#include "load/load.h"

namespace bricola {

class CLoadMemox : public CLoad {
 public:
  static constexpr int kTentativi = 5;       // failures of one page (or of the directory) that end the load
  static constexpr std::uint32_t kBuffer = 2048;

  // statoScrittura.
  enum : int { SCRITTURA_FERMA = 0, SCRITTURA_PAGINE = 1, SCRITTURA_DIRECTORY = 2 };

  CLoadMemox() = default;

  int PeriodoTimer() override { return 1; }
  // Reserves a directory entry for the module (fine - inizio + 4 bytes) and
  // starts copying it from the image file.
  int Avvia(const std::string& percorso, std::uint32_t inizio, std::uint32_t fine, std::uint16_t codice,
            const std::uint32_t* indirizzi, int tipoModulo, int tipoLoad, int tipoMicro,
            CInterfaccia* interfaccia, int modo, const int* velocita, int opzioni, int* esito) override;
  // Writes one page, or the directory once every page is written.
  int Passo(int* aggiorna) override;
  int Termina() override;

  // The key device the file system works on (not owned).
  void ImpostaDispositivo(CMemoxInterfaccia* d) { memox.ImpostaDispositivo(d); }

  // Reading the key back: PreparaLettura once (counts the files, creates the
  // disk file), then for each file AvviaLettura, PassoLettura until it returns
  // 0, and TerminaLettura. Every file is appended to the disk file.
  int PreparaLettura(const std::string& percorso, int* esito);
  int AvviaLettura(const std::string& percorso, int numeroFile, int* esito);
  int PassoLettura(int* aggiorna);
  void TerminaLettura();

  // Erases the directory page. 0 with RC_KEY_ERASE.
  int SvuotaChiave(int* esito);
  // Files on the key (0 also when the directory cannot be read).
  int ContaFileChiave();
  // Entry indexes to examine when listing the key.
  int SlotFile() const { return pagineDirectory * vociPerPagina; }
  // The entry holds a file (in use, not a link).
  bool FileValido(int voce) const { return memox.InUso(voce) && !memox.Collegamento(voce); }

  std::uint16_t DimensionePagina() const;
  std::uint32_t NumeroPagine() const;
  int VociPerPagina() const { return memox.VociPerPagina(); }

  // The file system, for the key file object of the listing.
  CMemox& Memox() { return memox; }
  int StatoScrittura() const { return statoScrittura; }
  int FileSullaChiave() const { return fileSullaChiave; }

 private:
  int Fallisci(int codice);
  void Aggiorna(int* aggiorna, bool sempre);

  int statoScrittura = SCRITTURA_FERMA;
  CMemox memox;
  std::uint8_t buffer[kBuffer] = {};
  std::uint16_t paginaCorrente = 0;
  std::uint32_t lunghezzaPezzo = 0;
  int tentativi = 0;
  int vociPerPagina = 0;
  int pagineDirectory = 0;
  int fileSullaChiave = 0;
  CFileWin fileDisco;
  int secondoVisto = -1;
};

}  // namespace bricola
