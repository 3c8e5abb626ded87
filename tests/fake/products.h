// What the products' installers leave in the registry, for tests to set up.
#pragma once

#include <cstddef>

#include "fake/fake_win32.h"

namespace fake {

// The uninstall entries of the products that install the target, in the order
// the tool tries them, and the key that holds them (in an installer's casing).
extern const char* const kProductCodes[7];
extern const char kUninstallRoot[];

// Registers `icon` as the "DisplayIcon" of product code `index` (0 to 6).
void InstallProduct(World& world, size_t index, const Value& icon);

}  // namespace fake
