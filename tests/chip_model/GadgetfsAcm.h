// A CDC-ACM class adapter served through the kernel's gadgetfs: it hands the
// device's descriptors to the device controller's file, answers the host's
// control requests from the events on that file, and moves the serial data
// over the bulk endpoints once the host has configured the device.
//
// The controller's file carries the control requests and is read on the
// calling thread (Serve); each bulk endpoint's file blocks in its own
// thread, since gadgetfs's endpoint files cannot be polled. What the host
// asks of the line goes to the callbacks, each from the thread that learnt
// it; bytes for the host go out through Send.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "tests/chip_model/CdcAcmDevice.h"

struct AcmCallbacks {
    std::function<void(const cdc_acm::LineCoding&)> lineCoding;
    std::function<void(cdc_acm::ControlLines)> controlLines;
    // The bytes of one bulk OUT transfer, handed over once the device has
    // taken them: the host's transfer completes at that moment.
    std::function<void(const std::string&)> received;
    // Every control request, as the host sent it, for the record.
    std::function<void(const std::string&)> request;
};

class GadgetfsAcm {
public:
    // `mount` is where gadgetfs is mounted; its controller file is the only
    // file there before the device is set up.
    GadgetfsAcm(std::string mount, AcmCallbacks callbacks);
    ~GadgetfsAcm();
    GadgetfsAcm(const GadgetfsAcm&) = delete;
    GadgetfsAcm& operator=(const GadgetfsAcm&) = delete;

    // Sets the device up and answers the host until the controller goes
    // away (the gadget unbound) or the file fails; false when the device
    // could not be set up at all.
    bool Serve(std::uint16_t vendor, std::uint16_t product);

    // Queues bytes for the host's next bulk IN transfers.
    void Send(const std::string& bytes);

private:
    void HandleSetup(const struct usb_ctrlrequest& setup);
    void Acknowledge();
    void Stall(bool in);
    bool OpenEndpoints();
    void CloseEndpoints();
    bool StillOpen();
    void ReceiveLoop();
    void SendLoop();

    std::string mount_;
    AcmCallbacks callbacks_;
    int control_ = -1;
    int bulkIn_ = -1;
    int bulkOut_ = -1;
    int notifications_ = -1;
    bool highSpeed_ = true;
    cdc_acm::LineCoding lineCoding_{9600, 0, 0, 8};

    std::mutex mutex_;
    std::condition_variable pending_;
    std::string toHost_;
    bool endpointsOpen_ = false;
    bool receiverFinished_ = true;
    bool senderFinished_ = true;
    std::thread receiver_;
    std::thread sender_;
};
