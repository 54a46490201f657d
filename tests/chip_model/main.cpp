// scalepoll-chip-model: one USB serial chip, modelled in a Linux guest for
// the kernel's own driver to talk to (see FunctionFsGadget.h, GadgetfsAcm.h
// and ModelledUart.h). It writes its record of the wire to JOURNAL and plays
// the stations given as scalepoll-sim takes them ("3:weight=1250").
//
//   scalepoll-chip-model CHIP UDC JOURNAL [--pull-at-frame N] [STATION...]
//
// With --pull-at-frame the adapter is pulled out once the bytes of the Nth
// frame since it started are in its FIFO, and the program ends.
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "tests/chip_model/ChipFamily.h"
#include "tests/chip_model/FunctionFsGadget.h"
#include "tests/chip_model/GadgetfsAcm.h"
#include "tests/chip_model/ModelledUart.h"
#include "tools/sim/Station.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s CHIP UDC JOURNAL [--pull-at-frame N] [STATION...]\n", argv[0]);
        return 2;
    }
    std::unique_ptr<ChipFamily> chip = MakeChipFamily(argv[1]);
    std::FILE* journal = std::fopen(argv[3], "a");
    if (!chip || !journal) {
        std::fprintf(stderr, "chip model: no chip %s, or no journal %s\n", argv[1], argv[3]);
        return 2;
    }
    std::optional<int> pullAtFrame;
    std::map<int, StationScript> stations;
    try {
        for (int k = 4; k < argc; ++k) {
            if (std::string(argv[k]) == "--pull-at-frame" && k + 1 < argc) {
                pullAtFrame = static_cast<int>(ParseNumber(argv[++k], 1, 100000, "frame"));
                continue;
            }
            const StationEntry entry = ParseStation(argv[k]);
            stations[entry.station] = entry.script;
        }
    } catch (const UsageError& error) {
        std::fprintf(stderr, "chip model: %s\n", error.what());
        return 2;
    }
    // A chip acts at once, whatever the host is busy with: the model's
    // threads (they inherit this) run ahead of every ordinary process in the
    // guest, so what it records a transfer or a request at is when the bus
    // delivered it, not when a busy guest got round to it.
    const sched_param realTime{.sched_priority = 50};
    if (sched_setscheduler(0, SCHED_FIFO, &realTime) != 0)
        std::fprintf(stderr, "chip model: no real-time priority, its times may lag\n");
    // The threads serving the endpoints may sit in the kernel when the
    // adapter goes, so the program ends without waiting for them.
    auto* uart = new ModelledUart(journal, std::move(stations));
    if (std::string(argv[1]) == "cdc-acm") {
        // Its class descriptors go only through gadgetfs, which binds to the
        // first free controller: UDC is not asked.
        GadgetfsAcm gadget("/dev/gadget", *chip, *uart);
        if (!gadget.Bind()) _exit(1);
        gadget.Serve(pullAtFrame);
    } else {
        FunctionFsGadget gadget(argv[1], *chip, *uart);
        if (!gadget.Bind(argv[2])) _exit(1);
        gadget.Serve(pullAtFrame);
    }
    std::fflush(journal);
    _exit(0);
}
