#include "tests/chip_model/ChipFamilies.h"

std::unique_ptr<ChipFamily> MakeChipFamily(std::string_view name) {
    if (name == "ch340") return MakeCh340();
    if (name == "pl2303") return MakePl2303();
    if (name == "cp2102") return MakeCp2102();
    if (name == "ft232r") return MakeFt232r();
    if (name == "cdc-acm") return MakeCdcAcm();
    return nullptr;
}
