#include "serial/Sarja1_u.h"

// No serial line is attached yet: the port stays closed, so nothing is sent
// and every selected station stays silent.
void TSarja1::AsetaComm() {}

void TSarja1::Lahetys(const std::string&) {}
