// A chip family served as a USB device from this program: a configfs gadget
// with one FunctionFS function, bound to a device controller (dummy_hcd's,
// whose host side is the same kernel's, so the kernel's own USB serial
// driver binds to it by the vendor and product ID).
//
// How it works: the gadget takes the family's IDs and device version; the
// function has one vendor-specific interface with a bulk IN, a bulk OUT and,
// for the families that have one, an interrupt IN endpoint. Its descriptors
// ask FunctionFS for every control request, device-recipient vendor requests
// included, since that is how most drivers talk to their chip. Three threads
// serve it: control requests (this thread, in Serve), bulk OUT transfers into
// the UART's transmit FIFO (taken only while it has room, as a chip does), and
// the stations' bytes out on bulk IN. The interrupt endpoint never sends:
// the modem status inputs never change.
//
// Pulling the adapter out is unbinding the gadget from its controller: the
// host sees the device go at once, whatever the FIFO still holds.
#pragma once

#include <atomic>
#include <optional>
#include <string>

#include "tests/chip_model/ChipFamily.h"

class FunctionFsGadget {
public:
    // `name` names the gadget in configfs and its FunctionFS mount.
    FunctionFsGadget(std::string name, ChipFamily& chip, ModelledUart& uart);

    // Builds the gadget and binds it to the device controller `udc`; false,
    // with the reason on standard error, when the kernel refuses a step.
    bool Bind(const std::string& udc);

    // Serves the driver until the adapter is pulled out, which happens once
    // the bytes of frame `pullAtFrame` (counted from 1) have entered the FIFO;
    // with none, until the process is ended.
    void Serve(std::optional<int> pullAtFrame);

private:
    void ServeControl();
    void AnswerSetup(const ControlRequest& request);
    void TakeBulkOut(std::optional<int> pullAtFrame);
    void SendBulkIn();
    void Pull();

    std::string name_;
    std::string gadgetDirectory_;
    ChipFamily& chip_;
    ModelledUart& uart_;
    int control_ = -1;
    int bulkIn_ = -1;
    int bulkOut_ = -1;
    std::atomic<bool> pulled_ = false;
};
