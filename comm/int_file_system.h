// CIntFileSystem: the interface that stands for a directory on the local disk,
// the target of the directory-tree loader. It has nothing to open and carries
// no bytes: every operation answers a constant.
#pragma once

#include "comm/interfaccia.h"

namespace bricola {

class CIntFileSystem : public CInterfaccia {
 public:
  int ApriLinea(int, int, int, int*) override { return 1; }
  int RiapriLinea(int*) override { return 1; }
  int ChiudiLinea() override { return 1; }
  int ScriviLinea(const std::uint8_t*, int lunghezza) override { return lunghezza; }
  int LeggiLinea(std::uint8_t*, int lunghezza) override { return lunghezza; }
  int SvuotaLinea() override { return 0; }
};

}  // namespace bricola
