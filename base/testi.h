// The string table: every user-visible text that has an identifier.
// The Italian form sits at the identifier, the English twin at identifier + kInglese.
// The window always shows the Italian form; batch mode's final line uses English.
#pragma once

namespace bricola {

// Language offsets added to an identifier.
inline constexpr int kItaliano = 0;
inline constexpr int kInglese = 456;

// The text of an identifier (language offset included), UTF-8.
// An identifier with no text gives "" (never a null pointer).
const char* Testo(int identificativo);

// Text of a result code / phase code in the given language (kItaliano or kInglese).
const char* TestoDiEsito(int esito, int lingua = kItaliano);
const char* TestoDiFase(int fase, int lingua = kItaliano);

// Every row of the table (Italian and English forms alike, in table order),
// for checks over the whole table.
struct VoceTesto {
  int identificativo;
  const char* testo;
};
const VoceTesto* TabellaTesti(int& numeroVoci);

}  // namespace bricola
