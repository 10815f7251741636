#include "ScannerTextSlot.h"

#include <cstdlib>
#include <cstring>

namespace TesselSoftware {

void SetScannerText(ScannerText* slot, const std::string& text) {
    if (slot == nullptr) return;
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy != nullptr) std::memcpy(copy, text.c_str(), text.size() + 1);
    std::free(slot->text);
    slot->text = copy;
}

void ClearScannerText(ScannerText* slot) {
    if (slot == nullptr) return;
    std::free(slot->text);
    slot->text = nullptr;
}

std::string ScannerTextOf(const ScannerText* slot) {
    return slot != nullptr && slot->text != nullptr ? std::string(slot->text) : std::string();
}

}  // namespace TesselSoftware
