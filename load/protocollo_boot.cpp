#include "load/protocollo_boot.h"

#include "image/file.h"
#include "load/load.h"

namespace bricola {

// --- frames -----------------------------------------------------------------------

CTrama& CTrama::Byte(std::uint8_t v) {
  byte[static_cast<std::size_t>(n++)] = v;
  return *this;
}

CTrama& CTrama::U16(std::uint16_t v) {
  ScriviU16(byte.data() + n, v);
  n += 2;
  return *this;
}

CTrama& CTrama::U32(std::uint32_t v) {
  ScriviU32(byte.data() + n, v);
  n += 4;
  return *this;
}

CTrama& CTrama::Indirizzo(std::uint32_t v, bool largo) {
  if (largo) return U32(v);
  Scrivi24(byte.data() + n, v);
  n += 3;
  return *this;
}

CTrama& CTrama::Dati(const std::uint8_t* dati, int quanti) {
  for (int i = 0; i < quanti; ++i) byte[static_cast<std::size_t>(n + i)] = dati[i];
  n += quanti;
  return *this;
}

CTrama& CTrama::Chiudi() {
  CLoadFujitsu::AggiungiControllo(byte.data(), n);
  n += 3;
  return *this;
}

CTrama TramaGetFirma() { return CTrama().Byte(kGetFirma).Chiudi(); }
CTrama TramaGetVersione() { return CTrama().Byte(kGetVersione).Chiudi(); }
CTrama TramaGetMicro() { return CTrama().Byte(kComandoEsteso).Byte(kGetMicro).Chiudi(); }
CTrama TramaGetVelocitaMassima() {
  return CTrama().Byte(kComandoEsteso).Byte(kGetVelocitaMassima).Chiudi();
}
CTrama TramaSetVelocita(std::uint8_t codiceVelocita) {
  return CTrama().Byte(kComandoEsteso).Byte(kSetVelocita).Byte(codiceVelocita).Chiudi();
}
CTrama TramaSetRemoto(std::uint16_t indirizzoCan) {
  return CTrama().Byte(kSetRemoto).U16(indirizzoCan).Chiudi();
}
CTrama TramaReboot() { return CTrama().Byte(kReboot).Chiudi(); }
CTrama TramaModoDati() { return CTrama().Byte(kComandoEsteso).Byte(kModoDati).Chiudi(); }
CTrama TramaLunBuf() { return CTrama().Byte(kLunBuf).Chiudi(); }
CTrama TramaFlashType(std::uint32_t base, std::uint16_t offset, std::uint8_t conteggio,
                      bool largo) {
  return CTrama().Byte(kFlashType).Indirizzo(base, largo).U16(offset).Byte(conteggio).Chiudi();
}
CTrama TramaFlashBlocco(std::uint32_t indirizzo, bool largo) {
  return CTrama().Byte(kComandoEsteso).Byte(kFlashBlocco).Indirizzo(indirizzo, largo).Chiudi();
}
CTrama TramaBlank(std::uint32_t primo, std::uint32_t ultimo, bool largo) {
  return CTrama().Byte(kBlank).Indirizzo(primo, largo).Indirizzo(ultimo, largo).Chiudi();
}
CTrama TramaErase(std::uint32_t indirizzo, bool largo) {
  return CTrama().Byte(kErase).Indirizzo(indirizzo, largo).Chiudi();
}
CTrama TramaWrite(std::uint32_t indirizzo, const std::uint8_t* dati, int n, bool largo) {
  return CTrama()
      .Byte(kWrite)
      .Indirizzo(indirizzo, largo)
      .U16(static_cast<std::uint16_t>(n))
      .Dati(dati, n)
      .Chiudi();
}
CTrama TramaRead(std::uint32_t indirizzo, std::uint16_t n, bool largo) {
  return CTrama().Byte(kRead).Indirizzo(indirizzo, largo).U16(n).Chiudi();
}
CTrama TramaCodice(std::uint16_t codiceMacchina, std::uint32_t indirizzoCan) {
  return CTrama()
      .Byte(kComandoEsteso)
      .Byte(kCodice)
      .U16(codiceMacchina)
      .U32(indirizzoCan)
      .Chiudi();
}
CTrama TramaFine() { return CTrama().Byte(kFine).Chiudi(); }

// --- field decoding -------------------------------------------------------------

int DimensioneBufferRemoto(std::uint8_t codice) {
  if (codice <= 128) return codice;
  return (codice - 128) * 16;
}

int TipoMicroDaCodice(std::uint16_t codiceMacchina) {
  if (codiceMacchina <= 0x0002) return 0;
  switch (codiceMacchina) {
    case 0x0013:
    case 0x0017:
    case 0x001E:
    case 0x0026:
      return 2;
    default:
      break;
  }
  if (codiceMacchina >= 0x1020 && codiceMacchina <= 0x1025) return 3;
  return 1;
}

bool MicroCompatibili(int tipoBoot, int tipoModulo) {
  switch (tipoBoot) {
    case 0: return tipoModulo == 0;
    case 1: return tipoModulo == 1 || tipoModulo == 5 || tipoModulo == 7;
    case 2: return tipoModulo == 2;
    case 3: return tipoModulo == 3;
    case 4: return tipoModulo == 4 || tipoModulo == 5 || tipoModulo == 7;
    case 6: return tipoModulo == 6 || tipoModulo == 7;
    case 8: return tipoModulo == 8 || tipoModulo == 7;
    case 9: return tipoModulo == 9 || tipoModulo == 7;
    default: return true;
  }
}

// --- the request table ----------------------------------------------------------

namespace {

constexpr SRichiesta kRichieste[] = {
    // primo, timeout, reply, sender, margin line, bad check, incomplete prefix, retry, final
    {kGetFirma, 1000, 5, "InvioGetFirma:", "GetFirmaRicevi: ricevuto margine %ld tick",
     "GetFirmaRicevi: risposta errata ", "GetFirmaRicevi: ", "richiesta firma tentativo",
     "richiesta firma fine tentativi"},
    {kGetVersione, 1000, 4, "InvioGetVersione:", "VersioneRicevi: ricevuto margine %ld tick",
     "VersioneRicevi: risposta errata", "VersioneRicevi: ", nullptr, nullptr},
    {kComandoEsteso, 1000, 4, "InvioGetMicro:", "MicroRicevi: ricevuto margine %ld tick",
     "MicroRicevi: risposta errata", "MicroRicevi: ", nullptr, nullptr},
    {kComandoEsteso, 1000, 4, "InvioGetVelocitaMassima:",
     "VelocitaMassimaRicevi: ricevuto margine %ld tick", "VelocitaMassimaRicevi: risposta errata",
     "VelocitaMassimaRicevi: ", nullptr, nullptr},
    {kComandoEsteso, 1000, 4, "InvioSetVelocita:", "SetVelocitaRicevi: ricevuto margine %ld tick",
     "SetVelocitaRicevi: risposta errata", "SetVelocitaRicevi: ", nullptr, nullptr},
    {kSetRemoto, 1000, 4, "InvioSetRemoto:", "ricevuto set remoto margine %ld tick",
     "SetRemotoRicevi: risposta errata ", "InvioSetRemoto: ", "set remoto tentativo",
     "set remoto fine tentativi"},
    {kReboot, 2000, 4, "InvioReboot:", "ricevuto reboot margine %ld tick",
     "RebootRicevi: risposta errata", "RebootRicevi: ", "reboot tentativo",
     "reboot fine tentativi"},
    {kComandoEsteso, 1000, 4, "InvioModoDati:", "ricevuto ModoDati margine %ld tick",
     "ModoDati: risposta errata", "ModoDati: ", "ModoDati nuovo tentativo",
     "ModoDati fine tentativi"},
    {kLunBuf, 2000, 4, "InvioLunBuf:", "ricevuto LunBuf margine %ld tick",
     "LunBuf: risposta errata", "LunBuf: ", "LunBuf nuovo tentativo", "LunBuf fine tentativi"},
    {kFlashType, 1000, 0, "InvioFlashType:", "ricevuto FlashType margine %ld tick",
     "FlashType: risposta errata", "FlashType: ", "FlashType nuovo tentativo",
     "FlashType fine tentativi"},
    {kFlashType, 1000, 0, "InvioFlashType:", "ricevuto FlashSpec margine %ld tick",
     "FlashSpec: risposta errata", "FlashSpec: ", "FlashSpec nuovo tentativo",
     "FlashSpec fine tentativi"},
    {kComandoEsteso, 1000, 13, "InvioFlashBlocco:", "ricevuto FlashBlocco margine %ld tick",
     "FlashBlocco: risposta errata", "FlashBlocco: ", "FlashBlocco nuovo tentativo",
     "FlashBlocco fine tentativi"},
    {kBlank, 6000, 5, "InvioBlank:", "ricevuto blank margine %ld tick",
     "BlankRicevi: risposta errata", "BlankRicevi: ", "blank nuovo tentativo",
     "blank fine tentativi"},
    {kErase, 8000, 5, "InvioErase:", "ricevuto erase margine %ld tick",
     "EraseRicevi: risposta errata", "EraseRicevi: ", "erase nuovo tentativo",
     "erase fine tentativi"},
    {kWrite, 3000, 4, nullptr, "ricevuto write margine %ld tick", "WriteRicevi: risposta errata",
     "WriteRicevi: ", "write altro tentativo", "write errore definitivo"},
    {kRead, 1000, 0, nullptr, "ricevuto read %d byte margine %ld tick",
     "ReadRicevi: risposta errata", "ReadRicevi: ", "read altro tentativo",
     "read errore definitivo"},
    {kComandoEsteso, 2000, 4, "InvioCodice:", "ricevuto Codice margine %ld tick",
     "CodiceRicevi: risposta errata", "Codice: ", "Codice nuovo tentativo",
     "Codice fine tentativi"},
    {kFine, 2000, 4, "InvioFine:", "FineRicevi: ricevuto margine %ld tick",
     "FineRicevi: risposta errata", "FineRicevi: ", nullptr, nullptr},
};
static_assert(sizeof kRichieste / sizeof kRichieste[0] == static_cast<int>(Richiesta::Numero));

}  // namespace

const SRichiesta& Descrizione(Richiesta r) { return kRichieste[static_cast<int>(r)]; }

}  // namespace bricola
