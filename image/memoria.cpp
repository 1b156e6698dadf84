#include "image/memoria.h"

namespace bricola {
// (being written)
const SListaSettori kListaF256{}, kListaF512{}, kListaF64{}, kListaF64x8{}, kListaF128x4{},
    kListaE64x16{}, kListaETop{}, kListaEBottom{}, kListaP64{}, kListaP16{};
const SMappa kMappaM256{}, kMappaM64{}, kMappaMPIC{}, kMappaM512{}, kMappaM512x{}, kMappaM512r{},
    kMappaMAuto{};
const SMappa& MappaPerTipoLoad(int) { return kMappaM256; }
void CMemoria::ImpostaMappa(std::uint32_t numero, const SRegione* tabella) {
  numRegioni = numero;
  regioni = tabella;
}
void CMemoria::ImpostaLineare(std::uint32_t, std::uint32_t) {}
int CMemoria::SelezionaRegione(std::uint32_t, std::uint32_t, bool) { return 0; }
int CMemoria::TrovaSettore(std::uint32_t, std::uint32_t&, std::uint32_t&, const std::uint8_t*&,
                           std::uint32_t&) const { return 0; }
std::uint16_t CMemoria::LunghezzaNelSettore(std::uint16_t, std::uint32_t, const std::uint8_t*&,
                                            std::uint32_t&) const { return 0; }
int CMemoria::ProssimoSettore(std::uint32_t, bool, std::uint32_t&, std::uint32_t&, bool&) { return 0; }
int CMemoria::RegioneDaIdentificare(std::uint32_t, std::uint32_t&, bool&, bool&) { return 0; }
std::uint16_t CMemoria::MascheraAllineamento() const { return 0; }
bool CMemoria::PrimaRegioneNonLineare() const { return false; }
}  // namespace bricola
