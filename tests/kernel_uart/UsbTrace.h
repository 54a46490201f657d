// What the guest's USB serial adapter was told, read back from QEMU's trace
// of its FTDI adapter model and the xHCI controller in front of it: the
// frames sent on the bulk OUT endpoint, each with the speed, framing and
// modem control lines in force as it went out.
//
// QEMU's trace holds the data transfers and the control requests in the
// order the controller handed them to the adapter, which writes a bulk OUT
// transfer's bytes to its serial side before it completes it. So a modem
// control request traced before a transfer's start reached the adapter
// before that transfer's bytes, and one traced after the transfer's success
// reached it after them. The trace gives each transfer's length, not its
// bytes: the stations' answers show the bytes were right.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct UsbFrame {
    std::size_t length = 0;      // bytes of the bulk OUT transfers with no modem control request among them
    std::uint32_t baudRate = 0;  // QEMU's reading of the last speed request before the frame
    std::string framing;         // of the last framing request then, "8 None 1"; "unsupported" when QEMU refused it
    bool dtr = false;            // while the bytes went out
    bool rts = false;
    std::optional<bool> dtrAfter;  // set by the first modem control request after the last byte
    std::optional<bool> rtsAfter;
};

// Every frame in the trace, in order.
std::vector<UsbFrame> UsbFrames(std::string_view trace);

// How many modem control requests in the trace lowered DTR.
std::size_t DtrLowerings(std::string_view trace);
