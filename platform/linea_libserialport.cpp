// Local serial devices through libserialport, and the device list it finds.
#include <libserialport.h>
#include <sys/file.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/linee.h"

namespace bricola {
namespace {

// Same bound as the write total timeout of the port layer.
constexpr unsigned kTimeoutScritturaMs = 5000;

class LineaLibserialport final : public LineaSeriale {
 public:
  explicit LineaLibserialport(sp_port* porta) : porta_(porta) {}
  ~LineaLibserialport() override {
    if (aperta_) sp_close(porta_);
    sp_free_port(porta_);
  }
  LineaLibserialport(const LineaLibserialport&) = delete;
  LineaLibserialport& operator=(const LineaLibserialport&) = delete;

  bool Apri(int baud, bool dtr, bool rts) {
    if (sp_open(porta_, SP_MODE_READ_WRITE) != SP_OK) return false;
    aperta_ = true;
    // Exclusive like a COM port, also against a privileged second opener (the
    // same lock as the termios back-end).
    int fd = -1;
    if (sp_get_port_handle(porta_, &fd) != SP_OK || ::flock(fd, LOCK_EX | LOCK_NB) != 0) return false;
    sp_port_config* config = nullptr;
    if (sp_new_config(&config) != SP_OK) return false;
    bool ok = sp_set_config_baudrate(config, baud) == SP_OK && sp_set_config_bits(config, 8) == SP_OK &&
              sp_set_config_parity(config, SP_PARITY_NONE) == SP_OK &&
              sp_set_config_stopbits(config, 1) == SP_OK &&
              sp_set_config_flowcontrol(config, SP_FLOWCONTROL_NONE) == SP_OK &&
              sp_set_config_dtr(config, dtr ? SP_DTR_ON : SP_DTR_OFF) == SP_OK &&
              sp_set_config_rts(config, rts ? SP_RTS_ON : SP_RTS_OFF) == SP_OK &&
              sp_set_config(porta_, config) == SP_OK;
    sp_free_config(config);
    return ok;
  }

  int Scrivi(const std::uint8_t* dati, int lunghezza) override {
    if (lunghezza < 0 || (lunghezza > 0 && dati == nullptr)) return -1;
    if (lunghezza == 0) return 0;
    sp_return r = sp_blocking_write(porta_, dati, static_cast<std::size_t>(lunghezza), kTimeoutScritturaMs);
    return r < 0 ? -1 : static_cast<int>(r);
  }

  int Leggi(std::uint8_t* buffer, int lunghezza, int timeoutMs) override {
    if (lunghezza < 0 || (lunghezza > 0 && buffer == nullptr)) return -1;
    if (lunghezza == 0) return 0;
    // A zero timeout means "wait forever" to sp_blocking_read: ours means "what is there".
    sp_return r = timeoutMs > 0
                      ? sp_blocking_read(porta_, buffer, static_cast<std::size_t>(lunghezza),
                                         static_cast<unsigned>(timeoutMs))
                      : sp_nonblocking_read(porta_, buffer, static_cast<std::size_t>(lunghezza));
    return r < 0 ? -1 : static_cast<int>(r);
  }

  bool ImpostaBaud(int baud) override { return sp_set_baudrate(porta_, baud) == SP_OK; }
  bool ImpostaBitStop(int n) override { return sp_set_stopbits(porta_, n == 2 ? 2 : 1) == SP_OK; }
  bool ImpostaDtr(bool alto) override { return sp_set_dtr(porta_, alto ? SP_DTR_ON : SP_DTR_OFF) == SP_OK; }
  bool ImpostaRts(bool alto) override { return sp_set_rts(porta_, alto ? SP_RTS_ON : SP_RTS_OFF) == SP_OK; }
  bool SvuotaIngresso() override { return sp_flush(porta_, SP_BUF_INPUT) == SP_OK; }

 private:
  sp_port* porta_;
  bool aperta_ = false;
};

}  // namespace

std::vector<std::string> EnumeraDispositiviSeriali() {
  std::vector<std::string> nomi;
  sp_port** lista = nullptr;
  if (sp_list_ports(&lista) != SP_OK) return nomi;
  for (int i = 0; lista[i] != nullptr; ++i) {
    const char* nome = sp_get_port_name(lista[i]);
    if (nome != nullptr) nomi.emplace_back(nome);
  }
  sp_free_port_list(lista);
  return nomi;
}

std::unique_ptr<LineaSeriale> ApriLineaLibserialport(const std::string& percorso, int baud, bool dtr, bool rts) {
  sp_port* porta = nullptr;
  if (sp_get_port_by_name(percorso.c_str(), &porta) != SP_OK || porta == nullptr) return nullptr;
  auto linea = std::make_unique<LineaLibserialport>(porta);
  if (!linea->Apri(baud, dtr, rts)) return nullptr;
  return linea;
}

std::unique_ptr<LineaSeriale> ApriLineaLocale(const std::string& percorso, int baud, bool dtr, bool rts) {
  if (auto linea = ApriLineaLibserialport(percorso, baud, dtr, rts)) return linea;
  return ApriLineaTermios(percorso, baud, dtr, rts);
}

std::unique_ptr<LineaSeriale> ApriLinea(const std::string& destinazione, int baud, bool dtr, bool rts) {
  std::string host;
  int porta = 0;
  if (AnalizzaUrlRfc2217(destinazione, &host, &porta)) return ApriLineaRfc2217(host, porta, baud, dtr, rts);
  return ApriLineaLocale(destinazione, baud, dtr, rts);
}

}  // namespace bricola
