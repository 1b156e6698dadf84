// The Memox key as the simulated machine's devices see it: a flash of pages
// kept in a file (every change is written through at once), and the key's USB
// side, which answers HID feature reports.
#pragma once

#include <cstdint>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace bricola::sim {

// A set of page numbers or addresses, or every one of them.
struct InsiemeGuasti {
  bool tutti = false;
  std::set<std::uint32_t> valori;
  bool Contiene(std::uint32_t v) const { return tutti || valori.count(v) != 0; }
  bool Vuoto() const { return !tutti && valori.empty(); }
};

struct GuastiChiave {
  bool assente = false;          // no memory in the key: USB identify status 0x10, parallel type 0xFF
  bool nessunaRisposta = false;  // USB: every get-feature fails; parallel: every key request fails
  bool modoRifiutato = false;    // USB mode select answers a nonzero status
  int tipo = -1;                 // parallel type code reported instead of the one of the geometry
  InsiemeGuasti scritturaFallita;     // pages whose writes answer a nonzero status
  InsiemeGuasti cancellazioneFallita; // pages whose erases (and the whole-key erase) fail
  int nonPronto = 0;             // USB: this many replies are first announced as not ready
  bool nonProntoSempre = false;  // USB: every reply is first announced as not ready
  int bloccataDopo = -1;         // USB: after this many replies the key hangs: every report reads not ready
};

struct ConfigChiave {
  std::string file;  // empty: no key plugged in
  std::uint32_t dimensionePagina = 264;
  std::uint32_t numeroPagine = 4096;
  GuastiChiave guasti;
};

// Statuses the key and the driver answer (0 is success).
namespace stato {
constexpr std::uint32_t OK = 0;
constexpr std::uint32_t RICHIESTA_SCONOSCIUTA = 0x01;
constexpr std::uint32_t FUORI_LIMITI = 0x02;
constexpr std::uint32_t CODICE_ACCESSO = 0x03;
constexpr std::uint32_t MODO_NON_SCELTO = 0x04;
constexpr std::uint32_t SCRITTURA_FALLITA = 0x05;
constexpr std::uint32_t CANCELLAZIONE_FALLITA = 0x06;
constexpr std::uint32_t CAMPO_ERRATO = 0x07;
constexpr std::uint32_t NESSUNA_MEMORIA = 0x10;
constexpr std::uint32_t MODO_RIFIUTATO = 0x21;
}  // namespace stato

class CChiaveSim {
 public:
  // Opens (or creates, erased) the key file. An existing file must have the
  // size of the geometry. Without a file the key is absent.
  bool Apri(const ConfigChiave& c, std::string& errore);

  bool Presente() const { return presente_ && !guasti_.assente; }
  std::uint32_t DimensionePagina() const { return dimensione_; }
  std::uint32_t NumeroPagine() const { return numero_; }
  const GuastiChiave& Guasti() const { return guasti_; }
  GuastiChiave& Guasti() { return guasti_; }
  const std::string& File() const { return file_; }
  // The type code the parallel driver reports.
  std::uint8_t TipoParallela() const;

  // Statuses of the page operations; nothing changes on failure.
  std::uint32_t Leggi(std::uint32_t pagina, std::uint32_t offset, std::uint32_t n, std::uint8_t* dati) const;
  std::uint32_t Scrivi(std::uint32_t pagina, std::uint32_t offset, const std::uint8_t* dati, std::uint32_t n);
  std::uint32_t CancellaPagina(std::uint32_t pagina);
  std::uint32_t CancellaTutto();

  std::uint64_t PagineScritte() const { return scritte_; }
  std::uint64_t PagineCancellate() const { return cancellate_; }
  std::uint64_t CancellazioniTotali() const { return cancellazioniTotali_; }
  // Pages that hold anything but 0xFF.
  std::uint32_t PagineNonVuote() const;

 private:
  bool Salva(std::uint64_t inizio, std::uint64_t n);

  bool presente_ = false;
  std::string file_;
  int fd_ = -1;
  std::uint32_t dimensione_ = 264;
  std::uint32_t numero_ = 4096;
  GuastiChiave guasti_;
  std::vector<std::uint8_t> memoria_;
  std::uint64_t scritte_ = 0;
  std::uint64_t cancellate_ = 0;
  std::uint64_t cancellazioniTotali_ = 0;

 public:
  CChiaveSim() = default;
  CChiaveSim(const CChiaveSim&) = delete;
  CChiaveSim& operator=(const CChiaveSim&) = delete;
  ~CChiaveSim();
};

// The 32 bytes a key answers while its reply is not ready yet.
extern const std::uint8_t NON_PRONTO[32];

// One open handle on the USB key: the pieces of the request being received
// and the reports of the reply not yet read.
struct SessioneUsb {
  std::vector<std::uint8_t> richiesta;
  std::deque<std::uint8_t> risposta;
  bool rispostaIniziata = false;
};

// What a feature-report exchange did, for the record of requests.
struct EventoUsb {
  std::string richiesta;  // decoded request, empty while it is still arriving
  std::uint32_t pagina = 0;
  bool conPagina = false;
  std::uint32_t stato = 0;
  std::string risposta;   // for get-feature: "dati", "nonPronto", "vuota", "fallita"
};

class CUsbSim {
 public:
  explicit CUsbSim(CChiaveSim& chiave) : chiave_(chiave) {}

  // Set-feature of one 33-byte report (report ID, 32 bytes); 1/0.
  bool Imposta(SessioneUsb& s, const std::uint8_t* report, EventoUsb& e);
  // Get-feature: fills the 33-byte report; 1/0.
  bool Ottieni(SessioneUsb& s, std::uint8_t* report, EventoUsb& e);

  void Apertura() { ++aperte_; }
  // The mode chosen lasts while the device is open by someone.
  void Chiusura() {
    if (aperte_ > 0 && --aperte_ == 0) modo_ = 0;
  }
  std::uint32_t Modo() const { return modo_; }
  // Bytes of a request beginning with this command word.
  std::size_t LunghezzaRichiesta(std::uint32_t comando) const;

 private:
  std::vector<std::uint8_t> Esegui(const std::vector<std::uint8_t>& r, EventoUsb& e);

  CChiaveSim& chiave_;
  std::uint32_t modo_ = 0;
  int aperte_ = 0;
  int nonProntoUsati_ = 0;
  int risposteDate_ = 0;  // replies begun since the simulator started
};

}  // namespace bricola::sim
