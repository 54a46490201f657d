#include "platform/Files.h"

#include <cstdio>
#include <random>

std::string SavingName(const std::string& path) {
    static std::mt19937 generator{std::random_device{}()};
    char suffix[9];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(generator()));
    return path + ".saving-" + suffix;
}
