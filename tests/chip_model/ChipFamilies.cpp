#include "tests/chip_model/ChipFamilies.h"

std::unique_ptr<ChipFamily> MakeChipFamily(std::string_view name) {
    if (name == "ch340") return MakeCh340();
    if (name == "cdc-acm") return MakeCdcAcm();
    return nullptr;
}
