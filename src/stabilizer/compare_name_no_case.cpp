#include "stabilizer/stabilizer.h"

int CompareNameNoCase(LPCSTR a, LPCSTR b) {
  for (;; ++a, ++b) {
    const signed char folded_a = static_cast<signed char>(*a | 0x20);
    const signed char folded_b = static_cast<signed char>(*b | 0x20);
    if (folded_a != folded_b) {
      return folded_a - folded_b;
    }
    if (*a == '\0' || *b == '\0') {
      // Folding makes a terminator equal a blank: only the end of both names is
      // a match, so "Tovu.exe " and "Tovu.exe backup.exe" are not the target.
      return static_cast<signed char>(*a) - static_cast<signed char>(*b);
    }
  }
}
