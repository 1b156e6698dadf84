// read-flash and verify in a build without the board backup job: they say so.
#include <ostream>

#include "app/strumento.h"

namespace bricola {

namespace {

int NonDisponibile(std::string_view nome, const SContestoStrumento& c) {
  *c.errori << "bricola-tool " << nome << ": not available in this build\n";
  c.errori->flush();
  return kEsitoUso;
}

}  // namespace

int ComandoLeggiFlash(std::span<const std::string>, const SContestoStrumento& c) {
  return NonDisponibile("read-flash", c);
}

int ComandoVerifica(std::span<const std::string>, const SContestoStrumento& c) {
  return NonDisponibile("verify", c);
}

}  // namespace bricola
