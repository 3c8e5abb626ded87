#include "stabilizer/stabilizer.h"

int CompareNameNoCase(LPCSTR a, LPCSTR b) {
  for (;; ++a, ++b) {
    // Folding sets bit 0x20, which would make a terminator equal a blank: the end
    // of one name matches only the end of the other.
    if (*a == '\0' || *b == '\0') {
      return static_cast<signed char>(*a) - static_cast<signed char>(*b);
    }
    const signed char folded_a = static_cast<signed char>(*a | 0x20);
    const signed char folded_b = static_cast<signed char>(*b | 0x20);
    if (folded_a != folded_b) {
      return folded_a - folded_b;
    }
  }
}
