#include "fake/products.h"

#include <string>

namespace fake {

const char* const kProductCodes[7] = {
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3D}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F31}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F34}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F3A}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F37}", "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F36}",
    "{4C7B02E8-96D5-4A1F-B3E0-5D28A9C61F39}",
};
const char kUninstallRoot[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

void InstallProduct(World& world, size_t index, const Value& icon) {
  world.registry[std::string(kUninstallRoot) + "\\" + kProductCodes[index]]["DisplayIcon"] = icon;
}

}  // namespace fake
