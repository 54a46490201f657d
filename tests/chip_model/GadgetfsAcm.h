// A CDC-ACM class adapter served as a USB device from this program through
// the kernel's gadgetfs, the one gadget interface that takes a whole
// device's descriptors (FunctionFS refuses the class descriptors cdc-acm
// needs). The device controller is dummy_hcd's, whose host side is the same
// kernel's, so cdc-acm binds to it.
//
// How it works: writing the descriptors to the controller's file under the
// gadgetfs mount binds the device; the control requests then come as events
// on that file and are answered on this thread (Serve): the configuration
// and interface requests here, the class requests by the chip. When the host
// sets the configuration, the endpoints' files are set up and two threads
// move the data, since gadgetfs's endpoint files cannot be polled: bulk OUT
// transfers into the UART's transmit FIFO (taken only while it has room for
// a whole packet, as a chip does), and the stations' bytes out on bulk IN.
// The notification endpoint never sends: the modem status inputs never
// change.
//
// Pulling the adapter out is closing the controller's file: gadgetfs then
// unbinds the device from the controller and the host sees it go at once,
// whatever the FIFO still holds.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tests/chip_model/ChipFamily.h"

class GadgetfsAcm {
public:
    // gadgetfs is mounted at `mount`.
    GadgetfsAcm(std::string mount, ChipFamily& chip, ModelledUart& uart);
    ~GadgetfsAcm();
    GadgetfsAcm(const GadgetfsAcm&) = delete;
    GadgetfsAcm& operator=(const GadgetfsAcm&) = delete;

    // Mounts gadgetfs and binds the device to the controller; false, with
    // the reason on standard error, when the kernel refuses a step.
    bool Bind();

    // Serves the driver until the adapter is pulled out, which happens once
    // the bytes of frame `pullAtFrame` (counted from 1) have entered the FIFO;
    // with none, until the process is ended.
    void Serve(std::optional<int> pullAtFrame);

private:
    void AnswerSetup(const ControlRequest& request);
    bool OpenEndpoints();
    void CloseEndpoints();
    bool EndpointsOpen();
    void TakeBulkOut();
    void SendBulkIn();
    void Pull();

    std::string mount_;
    ChipFamily& chip_;
    ModelledUart& uart_;
    std::optional<int> pullAtFrame_;
    int control_ = -1;
    int bulkIn_ = -1;
    int bulkOut_ = -1;
    int notifications_ = -1;
    pthread_t controlThread_{};
    std::atomic<bool> pulled_ = false;

    std::mutex mutex_;
    bool endpointsOpen_ = false;
    bool receiverEnded_ = true;
    bool senderEnded_ = true;
    std::thread receiver_;
    std::thread sender_;
};
