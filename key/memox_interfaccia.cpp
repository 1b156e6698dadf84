#include "key/memox_interfaccia.h"

namespace bricola {

int CMemoxInterfaccia::RiconosciChiave(int* tipoChiave) {
  std::uint8_t tipo = 0;
  if (!LeggiTipo(&tipo)) return 0;
  int kind;
  if (tipo == kTipoNessunaMemoria) {
    kind = kChiaveAssente;
  } else if (tipo == kTipoMemoriaMuta) {
    kind = kChiaveGuasta;
  } else {
    switch (tipo & kMascheraDensita) {
      case kDensita264x4096:
        ImpostaDimensionePagina(264);
        numeroPagine = 4096;
        kind = kChiave264x4096;
        break;
      case kDensita528x4096:
        ImpostaDimensionePagina(528);
        numeroPagine = 4096;
        kind = kChiave528x4096;
        break;
      case kDensita528x8192:
        ImpostaDimensionePagina(528);
        numeroPagine = 8192;
        kind = kChiave528x8192;
        break;
      default:
        kind = kChiaveSconosciuta;
        break;
    }
  }
  if (tipoChiave) *tipoChiave = kind;
  return 1;
}

}  // namespace bricola
