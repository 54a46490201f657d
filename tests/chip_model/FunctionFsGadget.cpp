#include "tests/chip_model/FunctionFsGadget.h"

#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace {

constexpr const char* kGadgets = "/sys/kernel/config/usb_gadget/";
constexpr std::size_t kPacketBytes = 64;       // a full-speed bulk packet
constexpr std::size_t kInPayloadBytes = 62;    // leaves room for a chip's two status bytes
constexpr std::int64_t kIdleWaitUs = 100'000;  // how long the bulk IN thread waits for bytes at a time

void AddLittleEndian(std::string& bytes, std::uint32_t value, int size) {
    for (int k = 0; k < size; ++k) bytes += static_cast<char>((value >> (8 * k)) & 0xFF);
}

// One vendor-specific interface and its endpoints, at one speed.
std::string InterfaceDescriptors(const UsbIdentity& identity, std::uint16_t bulkPacket) {
    std::string bytes = {9, 4, 0, 0, static_cast<char>(identity.interruptEndpoint ? 3 : 2), '\xFF', 0, 0, 1};
    const auto endpoint = [&](std::uint8_t address, std::uint8_t attributes, std::uint16_t packet,
                              std::uint8_t interval) {
        bytes += {7, 5, static_cast<char>(address), static_cast<char>(attributes)};
        AddLittleEndian(bytes, packet, 2);
        bytes += static_cast<char>(interval);
    };
    endpoint(0x81, 2, bulkPacket, 0);  // ep1: bulk IN
    endpoint(0x02, 2, bulkPacket, 0);  // ep2: bulk OUT
    if (identity.interruptEndpoint) endpoint(0x83, 3, 8, 1);
    return bytes;
}

std::string Descriptors(const UsbIdentity& identity) {
    const std::string fullSpeed = InterfaceDescriptors(identity, 64);
    const std::string highSpeed = InterfaceDescriptors(identity, 512);
    const std::uint32_t count = identity.interruptEndpoint ? 4 : 3;
    std::string bytes;
    AddLittleEndian(bytes, FUNCTIONFS_DESCRIPTORS_MAGIC_V2, 4);
    AddLittleEndian(bytes, static_cast<std::uint32_t>(20 + fullSpeed.size() + highSpeed.size()), 4);
    AddLittleEndian(bytes, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP, 4);
    AddLittleEndian(bytes, count, 4);
    AddLittleEndian(bytes, count, 4);
    return bytes + fullSpeed + highSpeed;
}

std::string Strings() {
    const std::string interfaceName("serial\0", 7);
    std::string bytes;
    AddLittleEndian(bytes, FUNCTIONFS_STRINGS_MAGIC, 4);
    AddLittleEndian(bytes, static_cast<std::uint32_t>(16 + 2 + interfaceName.size()), 4);
    AddLittleEndian(bytes, 1, 4);  // strings
    AddLittleEndian(bytes, 1, 4);  // languages
    AddLittleEndian(bytes, 0x0409, 2);
    return bytes + interfaceName;
}

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04x", value);
    return text;
}

bool WriteAttribute(const std::string& path, const std::string& value) {
    std::ofstream file(path);
    file << value << "\n";
    file.flush();
    if (file) return true;
    std::fprintf(stderr, "chip model: cannot write %s to %s\n", value.c_str(), path.c_str());
    return false;
}

bool MakeDirectory(const std::string& path) {
    if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
    std::fprintf(stderr, "chip model: cannot make %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
}

bool WriteAll(int file, const std::string& bytes, const char* what) {
    if (write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) return true;
    std::fprintf(stderr, "chip model: FunctionFS refused the %s: %s\n", what, std::strerror(errno));
    return false;
}

}  // namespace

FunctionFsGadget::FunctionFsGadget(std::string name, ChipFamily& chip, ModelledUart& uart)
    : name_(std::move(name)), gadgetDirectory_(kGadgets + name_ + "/"), chip_(chip), uart_(uart) {}

bool FunctionFsGadget::Bind(const std::string& udc) {
    const UsbIdentity identity = chip_.Identity();
    const std::string function = gadgetDirectory_ + "functions/ffs." + name_;
    const std::string mountPoint = "/dev/ffs-" + name_;
    if (!MakeDirectory(gadgetDirectory_) || !WriteAttribute(gadgetDirectory_ + "idVendor", Hex4(identity.vendor)) ||
        !WriteAttribute(gadgetDirectory_ + "idProduct", Hex4(identity.product)) ||
        !WriteAttribute(gadgetDirectory_ + "bcdDevice", Hex4(identity.deviceVersion)) ||
        !MakeDirectory(gadgetDirectory_ + "configs/c.1") || !MakeDirectory(function))
        return false;
    if (symlink(function.c_str(), (gadgetDirectory_ + "configs/c.1/ffs." + name_).c_str()) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "chip model: cannot link the function: %s\n", std::strerror(errno));
        return false;
    }
    if (!MakeDirectory(mountPoint)) return false;
    if (mount(name_.c_str(), mountPoint.c_str(), "functionfs", 0, nullptr) != 0) {
        std::fprintf(stderr, "chip model: cannot mount FunctionFS: %s\n", std::strerror(errno));
        return false;
    }
    control_ = open((mountPoint + "/ep0").c_str(), O_RDWR);
    if (control_ < 0 || !WriteAll(control_, Descriptors(identity), "descriptors") ||
        !WriteAll(control_, Strings(), "strings"))
        return false;
    bulkIn_ = open((mountPoint + "/ep1").c_str(), O_RDWR);
    bulkOut_ = open((mountPoint + "/ep2").c_str(), O_RDWR);
    if (bulkIn_ < 0 || bulkOut_ < 0) {
        std::fprintf(stderr, "chip model: no endpoint files: %s\n", std::strerror(errno));
        return false;
    }
    return WriteAttribute(gadgetDirectory_ + "UDC", udc);
}

void FunctionFsGadget::Serve(std::optional<int> pullAtFrame) {
    std::thread(&FunctionFsGadget::TakeBulkOut, this, pullAtFrame).detach();
    std::thread(&FunctionFsGadget::SendBulkIn, this).detach();
    ServeControl();
}

void FunctionFsGadget::ServeControl() {
    usb_functionfs_event events[4];
    while (!pulled_) {
        const ssize_t got = read(control_, events, sizeof events);
        if (got < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(got) / sizeof events[0]; ++k) {
            if (events[k].type != FUNCTIONFS_SETUP) continue;
            const usb_ctrlrequest& setup = events[k].u.setup;
            AnswerSetup({setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength});
        }
    }
}

// FunctionFS takes an IN request's data by a write and acknowledges an OUT
// request by a read of its data stage; the other way round stalls it. A
// request with no data (a modem control change) is acted on before it is
// acknowledged, as a chip does: the driver goes on, and sends the frame,
// only once the acknowledgement is in.
void FunctionFsGadget::AnswerSetup(const ControlRequest& request) {
    if (request.In()) {
        ControlAnswer answer = chip_.Control(request, {}, uart_);
        if (answer.stall) {
            [[maybe_unused]] const ssize_t stalled = read(control_, nullptr, 0);
            return;
        }
        answer.data.resize(std::min<std::size_t>(answer.data.size(), request.length));
        [[maybe_unused]] const ssize_t sent = write(control_, answer.data.data(), answer.data.size());
        return;
    }
    if (request.length == 0) {
        const ControlAnswer answer = chip_.Control(request, {}, uart_);
        [[maybe_unused]] const ssize_t done =
            answer.stall ? write(control_, nullptr, 0) : read(control_, nullptr, 0);
        return;
    }
    std::string data(request.length, '\0');
    const ssize_t got = read(control_, data.data(), data.size());
    data.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    chip_.Control(request, data, uart_);
}

void FunctionFsGadget::TakeBulkOut(std::optional<int> pullAtFrame) {
    char bytes[kPacketBytes];
    while (!pulled_) {
        if (uart_.FreeSpace() < sizeof bytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const ssize_t got = read(bulkOut_, bytes, sizeof bytes);
        if (got <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // not configured yet, or gone
            continue;
        }
        const int frame = uart_.Transmit(std::string_view(bytes, static_cast<std::size_t>(got)));
        if (pullAtFrame && frame == *pullAtFrame) Pull();
    }
}

void FunctionFsGadget::SendBulkIn() {
    const std::optional<std::int64_t> periodUs = chip_.BulkInPeriodUs();
    std::string pending;
    while (!pulled_) {
        if (pending.empty()) pending = uart_.TakeReceived(MonotonicUs() + periodUs.value_or(kIdleWaitUs));
        const std::size_t taken = std::min(pending.size(), kInPayloadBytes);
        const std::string packet = chip_.BulkInPacket(std::string_view(pending).substr(0, taken), uart_);
        if (packet.empty()) continue;
        if (write(bulkIn_, packet.data(), packet.size()) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // not configured yet, or gone
            continue;
        }
        pending.erase(0, taken);
    }
}

void FunctionFsGadget::Pull() {
    uart_.Pulled();
    pulled_ = true;
    WriteAttribute(gadgetDirectory_ + "UDC", "");
}
