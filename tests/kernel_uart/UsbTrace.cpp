#include "tests/kernel_uart/UsbTrace.h"

#include <cstdio>
#include <map>
#include <sstream>

namespace {

// bmRequestType (vendor, to the device) and bRequest, as the trace prints them.
constexpr unsigned kSetModemControl = 0x4001;
// Value bits of a modem control request: the line's state, and which lines it sets.
constexpr unsigned kDtrBit = 0x0001;
constexpr unsigned kRtsBit = 0x0002;
constexpr unsigned kSetsDtr = 0x0100;
constexpr unsigned kSetsRts = 0x0200;
// The xHCI endpoint context of the adapter's bulk OUT endpoint 2: 2 × 2 + 0 (OUT).
constexpr unsigned kBulkOutContext = 4;

class FrameCollector {
public:
    void Line(const std::string& line) {
        unsigned request = 0, value = 0, baud = 0, data = 0, stop = 0, bytes = 0, slot = 0, context = 0;
        char parity = 0;
        void* transfer = nullptr;
        if (Scan(line, "usb_serial_handle_control ", "usb_serial_handle_control dev %*d:%*u got control 0x%x, value 0x%x",
                 &request, &value) == 2) {
            if (request == kSetModemControl) ModemControl(value);
        } else if (Scan(line, "usb_serial_set_baud ", "usb_serial_set_baud dev %*d:%*u baud rate %u", &baud) == 1) {
            baudRate_ = baud;
        } else if (Scan(line, "usb_serial_set_data ",
                        "usb_serial_set_data dev %*d:%*u parity %c, data bits %u, stop bits %u", &parity, &data,
                        &stop) == 3) {
            framing_ = std::to_string(data) + " " + ParityName(parity) + " " + std::to_string(stop);
        } else if (Refused(line)) {
            framing_ = "unsupported";
        } else if (Scan(line, "usb_xhci_xfer_start ", "usb_xhci_xfer_start %p: slotid %u, epid %u", &transfer, &slot,
                        &context) == 3) {
            if (context == kBulkOutContext) bulkOut_[transfer] = true;
        } else if (Scan(line, "usb_xhci_xfer_success ", "usb_xhci_xfer_success %p: len %u", &transfer, &bytes) == 2) {
            if (bulkOut_.erase(transfer) == 1 && bytes > 0) Transmit(bytes);
        }
    }

    std::vector<UsbFrame> Frames() && { return std::move(frames_); }
    std::size_t DtrLowerings() const { return dtrLowerings_; }

private:
    // sscanf from where the event's name starts: the log lines may open with
    // a process id and time stamp.
    template <typename... Fields>
    static int Scan(const std::string& line, const char* name, const char* format, Fields*... fields) {
        const auto at = line.find(name);
        if (at == std::string::npos) return 0;
        return std::sscanf(line.c_str() + at, format, fields...);
    }

    // A framing request QEMU's adapter model turned down.
    static bool Refused(const std::string& line) {
        for (const char* name : {"usb_serial_unsupported_parity ", "usb_serial_unsupported_stopbits ",
                                 "usb_serial_unsupported_data_bits "})
            if (line.find(name) != std::string::npos) return true;
        return false;
    }

    static std::string ParityName(char parity) {
        switch (parity) {
            case 'N': return "None";
            case 'E': return "Even";
            case 'O': return "Odd";
            default: return std::string(1, parity);
        }
    }

    void ModemControl(unsigned value) {
        if (value & kSetsDtr) {
            if (dtr_ && !(value & kDtrBit)) ++dtrLowerings_;
            dtr_ = (value & kDtrBit) != 0;
        }
        if (value & kSetsRts) rts_ = (value & kRtsBit) != 0;
        if (open_) {
            frames_.back().dtrAfter = dtr_;
            frames_.back().rtsAfter = rts_;
        }
        open_ = false;
    }

    void Transmit(unsigned bytes) {
        if (!open_) {
            frames_.push_back({0, baudRate_, framing_, dtr_, rts_, std::nullopt, std::nullopt});
            open_ = true;
        }
        frames_.back().length += bytes;
    }

    std::vector<UsbFrame> frames_;
    std::map<void*, bool> bulkOut_;  // bulk OUT transfers started and not yet done
    bool open_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    std::uint32_t baudRate_ = 0;
    std::string framing_;
    std::size_t dtrLowerings_ = 0;
};

FrameCollector Collect(std::string_view trace) {
    FrameCollector collector;
    std::istringstream lines{std::string(trace)};
    for (std::string line; std::getline(lines, line);) collector.Line(line);
    return collector;
}

}  // namespace

std::vector<UsbFrame> UsbFrames(std::string_view trace) { return Collect(trace).Frames(); }

std::size_t DtrLowerings(std::string_view trace) { return Collect(trace).DtrLowerings(); }
