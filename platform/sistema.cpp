#include "platform/sistema.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

namespace bricola {

std::string CartellaTemporanea() {
  const char* t = std::getenv("TMPDIR");
  std::string cartella = (t != nullptr && *t != '\0') ? t : "/tmp";
  while (cartella.size() > 1 && cartella.back() == '/') cartella.pop_back();
  return cartella;
}

OraLocale OraAttuale() {
  std::time_t adesso = std::time(nullptr);
  std::tm tm{};
  localtime_r(&adesso, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::int64_t MillisecondiMonotoni() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void Dormi(int millisecondi) {
  if (millisecondi > 0) std::this_thread::sleep_for(std::chrono::milliseconds(millisecondi));
}

}  // namespace bricola
