// sim_probe PORT STATION SEQUENCE: a stand-in for scalepoll in the simulator's
// end-to-end tests. Opens the line named by SCALEPOLL_COM<PORT>, asks the
// station, and prints the reply as hexadecimal pairs with no line end. Exits
// 1 when the port cannot be opened, 3 when no reply came.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/sim/RecordFormat.h"
#include "tools/sim/tests/LineClient.h"

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const char* path = std::getenv(("SCALEPOLL_COM" + std::string(argv[1])).c_str());
    const int fd = path == nullptr ? -1 : OpenLikeTheTool(path);
    if (fd < 0) return 1;
    const auto reply = AskStation(fd, std::atoi(argv[2]), std::atoi(argv[3]), 3000);
    if (!reply) return 3;
    std::fputs(HexBytes(*reply).c_str(), stdout);
    return 0;
}
