#include "platform/LocalPortName.h"

#include <algorithm>

namespace {

constexpr std::string_view kDeviceNamespace = "\\\\.\\";
constexpr int kHighestPort = 256;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(),
                                                      [](char a, char b) { return Lower(a) == Lower(b); });
}

}  // namespace

std::optional<int> ParseLocalPortName(std::string_view text) {
    if (text.starts_with(kDeviceNamespace)) text.remove_prefix(kDeviceNamespace.size());
    if (!StartsWithIgnoringCase(text, "COM")) return std::nullopt;
    const std::string_view digits = text.substr(3);
    if (digits.empty() || digits.size() > 3 || digits.front() == '0') return std::nullopt;
    int number = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        number = number * 10 + (digit - '0');
    }
    if (number > kHighestPort) return std::nullopt;
    return number;
}

std::string LocalPortDevice(int number) { return std::string(kDeviceNamespace) + "COM" + std::to_string(number); }
