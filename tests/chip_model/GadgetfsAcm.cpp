#include "tests/chip_model/GadgetfsAcm.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "tests/chip_model/CdcAcmDevice.h"

namespace {

constexpr std::size_t kPacketBytes = 64;       // a full-speed bulk packet
constexpr std::int64_t kIdleWaitUs = 100'000;  // how long the bulk IN thread waits for bytes at a time
constexpr int kPullCheckMs = 5;

// Interrupts a thread waiting on a gadgetfs file: the call then fails with
// EINTR and the thread looks whether it should go on.
constexpr int kWakeSignal = SIGUSR1;

void InstallWakeSignal() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the blocked call must return
    sigaction(kWakeSignal, &action, nullptr);
}

// The controller's file under the mount, named after it ("dummy_udc"); the
// others, there while a device is bound, are its endpoints' ("ep1in-bulk").
std::string ControllerFile(const std::string& mount) {
    std::string found;
    if (DIR* directory = opendir(mount.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != ".." && name.substr(0, 2) != "ep") found = mount + "/" + entry->d_name;
        }
        closedir(directory);
    }
    return found;
}

bool WriteAll(int file, const std::string& bytes, const char* what) {
    if (write(file, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) return true;
    std::fprintf(stderr, "chip model: gadgetfs refused the %s: %s\n", what, std::strerror(errno));
    return false;
}

// Ends a thread that may be blocked on an endpoint's file: the signal is
// sent again until the thread has ended, since one sent just before it
// entered the call would be lost.
void Stop(std::thread& thread, const bool& ended, std::mutex& mutex) {
    if (!thread.joinable()) return;
    for (;;) {
        {
            std::lock_guard lock(mutex);
            if (ended) break;
        }
        pthread_kill(thread.native_handle(), kWakeSignal);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    thread.join();
}

}  // namespace

GadgetfsAcm::GadgetfsAcm(std::string mount, ChipFamily& chip, ModelledUart& uart)
    : mount_(std::move(mount)), chip_(chip), uart_(uart) {
    InstallWakeSignal();
}

GadgetfsAcm::~GadgetfsAcm() {
    CloseEndpoints();
    if (control_ >= 0) close(control_);
}

// gadgetfs can be mounted once only; a model started after another finds it
// mounted, its controller's file free again once the other has closed it.
bool GadgetfsAcm::Bind() {
    if (ControllerFile(mount_).empty()) {
        if (mkdir(mount_.c_str(), 0755) != 0 && errno != EEXIST) {
            std::fprintf(stderr, "chip model: cannot make %s: %s\n", mount_.c_str(), std::strerror(errno));
            return false;
        }
        if (mount("gadgetfs", mount_.c_str(), "gadgetfs", 0, nullptr) != 0) {
            std::fprintf(stderr, "chip model: cannot mount gadgetfs: %s\n", std::strerror(errno));
            return false;
        }
    }
    control_ = open(ControllerFile(mount_).c_str(), O_RDWR);
    if (control_ < 0) {
        std::fprintf(stderr, "chip model: no controller file under %s: %s\n", mount_.c_str(), std::strerror(errno));
        return false;
    }
    return WriteAll(control_, cdc_acm::DeviceMessage(chip_.Identity()), "device's descriptors");
}

void GadgetfsAcm::Serve(std::optional<int> pullAtFrame) {
    pullAtFrame_ = pullAtFrame;
    controlThread_ = pthread_self();
    usb_gadgetfs_event events[5];
    for (;;) {
        // The pull's signal ends the wait; the bound catches one that came
        // just before it.
        pollfd waiting{control_, POLLIN, 0};
        const int ready = poll(&waiting, 1, kPullCheckMs);
        if (pulled_) break;
        if (ready <= 0) continue;
        const ssize_t got = read(control_, events, sizeof events);
        if (got < 0) {
            // EIDRM: the host gave up on a request before it was answered.
            if (errno == EINTR || errno == EIDRM) continue;
            break;  // the controller has gone
        }
        for (std::size_t k = 0; k < static_cast<std::size_t>(got) / sizeof events[0] && !pulled_; ++k) {
            if (events[k].type == GADGETFS_DISCONNECT) CloseEndpoints();
            if (events[k].type != GADGETFS_SETUP) continue;
            const usb_ctrlrequest& setup = events[k].u.setup;
            AnswerSetup({setup.bRequestType, setup.bRequest, setup.wValue, setup.wIndex, setup.wLength});
        }
    }
    // Closing the controller's file unbinds the device at once; the
    // endpoints' transfers then fail and their threads end.
    close(control_);
    control_ = -1;
    CloseEndpoints();
}

// gadgetfs takes an IN request's data by a write and stalls it on a read; an
// OUT request's data stage is read, one without data is acknowledged by a
// read of nothing and stalled by a write.
void GadgetfsAcm::AnswerSetup(const ControlRequest& request) {
    ssize_t moved = 0;
    if (request.requestType == USB_RECIP_DEVICE && request.request == USB_REQ_SET_CONFIGURATION) {
        // The endpoints are ready before the host hears the configuration is
        // set, so its first transfers find them. gadgetfs lets no program
        // stall this request, so endpoints that failed are only reported.
        CloseEndpoints();
        if (request.value != 0 && !OpenEndpoints()) std::fprintf(stderr, "chip model: no endpoints\n");
        moved = read(control_, nullptr, 0);
    } else if (request.requestType == USB_RECIP_INTERFACE && request.request == USB_REQ_SET_INTERFACE) {
        moved = read(control_, nullptr, 0);
    } else if (request.In()) {
        ControlAnswer answer = chip_.Control(request, {}, uart_);
        answer.data.resize(std::min<std::size_t>(answer.data.size(), request.length));
        moved = answer.stall ? read(control_, nullptr, 0) : write(control_, answer.data.data(), answer.data.size());
    } else if (request.length > 0) {
        std::string data(request.length, '\0');
        const ssize_t got = read(control_, data.data(), data.size());
        data.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        chip_.Control(request, data, uart_);
    } else {
        // The chip applies the request before the host hears it is done.
        const ControlAnswer answer = chip_.Control(request, {}, uart_);
        moved = answer.stall ? write(control_, nullptr, 0) : read(control_, nullptr, 0);
    }
    (void)moved;  // a host that gave up on the request shows in the next event
}

bool GadgetfsAcm::OpenEndpoints() {
    const auto openEndpoint = [this](const cdc_acm::Endpoint& endpoint) {
        const int file = open((mount_ + "/" + endpoint.file).c_str(), O_RDWR);
        if (file >= 0 && WriteAll(file, cdc_acm::EndpointMessage(endpoint), endpoint.file)) return file;
        if (file >= 0) close(file);
        return -1;
    };
    notifications_ = openEndpoint(cdc_acm::kNotifications);
    bulkIn_ = openEndpoint(cdc_acm::kBulkIn);
    bulkOut_ = openEndpoint(cdc_acm::kBulkOut);
    if (notifications_ < 0 || bulkIn_ < 0 || bulkOut_ < 0) {
        CloseEndpoints();
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        endpointsOpen_ = true;
        receiverEnded_ = false;
        senderEnded_ = false;
    }
    receiver_ = std::thread(&GadgetfsAcm::TakeBulkOut, this);
    sender_ = std::thread(&GadgetfsAcm::SendBulkIn, this);
    return true;
}

void GadgetfsAcm::CloseEndpoints() {
    {
        std::lock_guard lock(mutex_);
        endpointsOpen_ = false;
    }
    Stop(receiver_, receiverEnded_, mutex_);
    Stop(sender_, senderEnded_, mutex_);
    for (int* file : {&notifications_, &bulkIn_, &bulkOut_}) {
        if (*file >= 0) close(*file);
        *file = -1;
    }
}

bool GadgetfsAcm::EndpointsOpen() {
    std::lock_guard lock(mutex_);
    return endpointsOpen_;
}

// Any failure but an interruption is the host gone: the next configuration
// starts new threads.
void GadgetfsAcm::TakeBulkOut() {
    char bytes[kPacketBytes];
    while (EndpointsOpen() && !pulled_) {
        if (uart_.FreeSpace() < sizeof bytes) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        const ssize_t got = read(bulkOut_, bytes, sizeof bytes);
        if (got < 0 && errno != EINTR) break;
        if (got <= 0) continue;
        const int frame = uart_.Transmit(std::string_view(bytes, static_cast<std::size_t>(got)));
        if (pullAtFrame_ && frame == *pullAtFrame_) Pull();
    }
    std::lock_guard lock(mutex_);
    receiverEnded_ = true;
}

void GadgetfsAcm::SendBulkIn() {
    std::string pending;
    while (EndpointsOpen() && !pulled_) {
        if (pending.empty()) pending = uart_.TakeReceived(MonotonicUs() + kIdleWaitUs);
        if (pending.empty()) continue;
        // Blocks until the host reads: cdc-acm keeps its reads posted only
        // while its port is open. Each packet is short, so the host's read
        // ends with it instead of waiting for more.
        const ssize_t written = write(bulkIn_, pending.data(), std::min(pending.size(), kPacketBytes - 1));
        if (written < 0 && errno != EINTR) break;
        if (written > 0) pending.erase(0, static_cast<std::size_t>(written));
    }
    std::lock_guard lock(mutex_);
    senderEnded_ = true;
}

void GadgetfsAcm::Pull() {
    uart_.Pulled();
    pulled_ = true;
    pthread_kill(controlThread_, kWakeSignal);
}
