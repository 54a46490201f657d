// The chip families the model knows, one maker function each.
#pragma once

#include <memory>

#include "tests/chip_model/ChipFamily.h"

std::unique_ptr<ChipFamily> MakeCh340();
std::unique_ptr<ChipFamily> MakePl2303();
std::unique_ptr<ChipFamily> MakeCp2102();
std::unique_ptr<ChipFamily> MakeFt232r();
// Served through gadgetfs (GadgetfsAcm), not FunctionFS.
std::unique_ptr<ChipFamily> MakeCdcAcm();
