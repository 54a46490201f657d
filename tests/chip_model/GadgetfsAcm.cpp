#include "tests/chip_model/GadgetfsAcm.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>

namespace {

constexpr std::size_t kPacket = 512;  // a high-speed bulk packet, the most one read takes

// Interrupts an endpoint thread blocked in gadgetfs: its read or write then
// fails with EINTR and the thread looks whether it should go on.
constexpr int kWakeSignal = SIGUSR1;

void InstallWakeSignal() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    sigaction(kWakeSignal, &action, nullptr);
}

// The one file under the mount before the device is set up: the device
// controller's, named after it ("dummy_udc").
std::string ControllerFile(const std::string& mount) {
    std::string found;
    if (DIR* directory = opendir(mount.c_str())) {
        while (const dirent* entry = readdir(directory))
            if (entry->d_name[0] != '.') found = mount + "/" + entry->d_name;
        closedir(directory);
    }
    return found;
}

std::string Describe(const usb_ctrlrequest& setup) {
    char text[96];
    std::snprintf(text, sizeof text, "type 0x%02x request 0x%02x value 0x%04x index %u length %u",
                  setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength);
    return text;
}

// Stops a thread that may be blocked in an endpoint's read or write: the
// signal is sent again until the thread has ended, since one sent just
// before it entered the call would be lost.
void Stop(std::thread& thread, const bool& finished, std::mutex& mutex) {
    if (!thread.joinable()) return;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (finished) break;
        }
        pthread_kill(thread.native_handle(), kWakeSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread.join();
}

}  // namespace

GadgetfsAcm::GadgetfsAcm(std::string mount, AcmCallbacks callbacks)
    : mount_(std::move(mount)), callbacks_(std::move(callbacks)) {
    InstallWakeSignal();
}

GadgetfsAcm::~GadgetfsAcm() {
    CloseEndpoints();
    if (control_ >= 0) close(control_);
}

bool GadgetfsAcm::Serve(std::uint16_t vendor, std::uint16_t product) {
    const std::string file = ControllerFile(mount_);
    control_ = open(file.c_str(), O_RDWR);
    if (control_ < 0) return false;
    const std::string message = cdc_acm::DeviceMessage(vendor, product);
    if (write(control_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) return false;

    usb_gadgetfs_event events[5];
    for (;;) {
        const ssize_t got = read(control_, events, sizeof events);
        if (got < 0) {
            // EIDRM: the host gave up on a request before it was answered.
            if (errno == EINTR || errno == EIDRM) continue;
            return true;  // the controller has gone
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(got) / sizeof events[0]; ++k) {
            const usb_gadgetfs_event& event = events[k];
            switch (event.type) {
                case GADGETFS_CONNECT:
                    highSpeed_ = event.u.speed == USB_SPEED_HIGH;
                    break;
                case GADGETFS_DISCONNECT:
                    CloseEndpoints();
                    break;
                case GADGETFS_SETUP:
                    HandleSetup(event.u.setup);
                    break;
                default:
                    break;
            }
        }
    }
}

void GadgetfsAcm::Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    toHost_ += bytes;
    pending_.notify_all();
}

void GadgetfsAcm::HandleSetup(const usb_ctrlrequest& setup) {
    if (callbacks_.request) callbacks_.request(Describe(setup));
    const bool in = (setup.bRequestType & USB_DIR_IN) != 0;
    const std::uint8_t classToInterface = USB_TYPE_CLASS | USB_RECIP_INTERFACE;
    if (setup.bRequestType == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_SET_CONFIGURATION) {
        // The endpoints are ready before the host hears the configuration
        // is set, so its first transfers find them.
        // gadgetfs lets no program stall it, so a device whose endpoints
        // failed says so and goes on without them.
        CloseEndpoints();
        if (setup.wValue != 0 && !OpenEndpoints()) std::perror("gadgetfs endpoints");
        return Acknowledge();
    }
    if (setup.bRequestType == USB_RECIP_INTERFACE && setup.bRequest == USB_REQ_SET_INTERFACE) return Acknowledge();
    if (setup.bRequestType == classToInterface && setup.bRequest == cdc_acm::kSetLineCoding) {
        // gadgetfs has already taken the data stage; reading it ends the request.
        char data[cdc_acm::kLineCodingSize + 1];
        const ssize_t got = read(control_, data, sizeof data);
        if (got < 0) return;
        if (const auto coding = cdc_acm::DecodeLineCoding({data, static_cast<std::size_t>(got)})) {
            lineCoding_ = *coding;
            if (callbacks_.lineCoding) callbacks_.lineCoding(*coding);
        }
        return;
    }
    if (setup.bRequestType == (classToInterface | USB_DIR_IN) && setup.bRequest == cdc_acm::kGetLineCoding) {
        const std::string data = cdc_acm::EncodeLineCoding(lineCoding_);
        const ssize_t written = write(control_, data.data(), data.size());
        (void)written;  // a host that gave up on the request is told by the next event
        return;
    }
    if (setup.bRequestType == classToInterface && setup.bRequest == cdc_acm::kSetControlLineState) {
        // The chip applies the lines before the host hears the request is done.
        if (callbacks_.controlLines) callbacks_.controlLines(cdc_acm::DecodeControlLines(setup.wValue));
        return Acknowledge();
    }
    if (setup.bRequestType == classToInterface && setup.bRequest == cdc_acm::kSendBreak) return Acknowledge();
    Stall(in);
}

// The status stage of a request without data: a read of nothing.
void GadgetfsAcm::Acknowledge() {
    const ssize_t got = read(control_, nullptr, 0);
    (void)got;
}

// gadgetfs stalls a request whose direction the program goes against: a
// read for an IN request, a write for an OUT one.
void GadgetfsAcm::Stall(bool in) {
    char none = 0;
    const ssize_t moved = in ? read(control_, &none, 0) : write(control_, &none, 0);
    (void)moved;
}

bool GadgetfsAcm::OpenEndpoints() {
    const auto openEndpoint = [this](const cdc_acm::Endpoint& endpoint) {
        const int fd = open((mount_ + "/" + endpoint.file).c_str(), O_RDWR);
        if (fd < 0) return -1;
        const std::string message = cdc_acm::EndpointMessage(endpoint);
        if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
            close(fd);
            return -1;
        }
        return fd;
    };
    notifications_ = openEndpoint(cdc_acm::kNotifications);
    bulkIn_ = openEndpoint(cdc_acm::kBulkIn);
    bulkOut_ = openEndpoint(cdc_acm::kBulkOut);
    {
        std::lock_guard lock(mutex_);
        endpointsOpen_ = true;
        receiverFinished_ = false;
        senderFinished_ = false;
    }
    if (notifications_ < 0 || bulkIn_ < 0 || bulkOut_ < 0) {
        CloseEndpoints();
        return false;
    }
    receiver_ = std::thread([this] { ReceiveLoop(); });
    sender_ = std::thread([this] { SendLoop(); });
    return true;
}

void GadgetfsAcm::CloseEndpoints() {
    {
        std::lock_guard lock(mutex_);
        endpointsOpen_ = false;
        pending_.notify_all();
    }
    Stop(receiver_, receiverFinished_, mutex_);
    Stop(sender_, senderFinished_, mutex_);
    for (int* fd : {&notifications_, &bulkIn_, &bulkOut_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

bool GadgetfsAcm::StillOpen() {
    std::lock_guard lock(mutex_);
    return endpointsOpen_;
}

void GadgetfsAcm::ReceiveLoop() {
    char packet[kPacket];
    for (;;) {
        const ssize_t got = read(bulkOut_, packet, sizeof packet);
        if (got > 0 && callbacks_.received) callbacks_.received(std::string(packet, static_cast<std::size_t>(got)));
        // Any failure but an interruption is the host gone: the next
        // configuration starts a new receiver.
        if ((got < 0 && errno != EINTR) || !StillOpen()) break;
    }
    std::lock_guard lock(mutex_);
    receiverFinished_ = true;
}

void GadgetfsAcm::SendLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        pending_.wait(lock, [this] { return !endpointsOpen_ || !toHost_.empty(); });
        if (!endpointsOpen_) break;
        const std::string packet = toHost_.substr(0, kPacket);
        lock.unlock();
        // Blocks until the host reads it: cdc-acm keeps reads posted only
        // while its port is open.
        const ssize_t written = write(bulkIn_, packet.data(), packet.size());
        const int error = errno;
        lock.lock();
        if (written > 0) toHost_.erase(0, static_cast<std::size_t>(written));
        if (written < 0 && error != EINTR) break;
    }
    senderFinished_ = true;
}
