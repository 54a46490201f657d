#include "poll/Startup.h"

#include "poll/Unit1.h"
#include "serial/Sarja1_u.h"
#include "text/WholeNumber.h"

namespace {
constexpr std::size_t kSettingCount = 5;
}

void RunTool(const std::vector<std::string>& parameters, EventLoop& loop, TextOutput& output,
             SerialPorts& ports, PollObserver& observer) {
    if (parameters.size() < kSettingCount + 1) {
        output.WriteAndFlush("1;Not enough parameters\r\n");
        return;
    }
    TSarja1 Sarja1(loop, ports);
    TForm1 Form1(loop, Sarja1, output, observer);
    Sarja1.ConnectReceiver(Form1);
    Sarja1.TakeSettings(parameters);
    Sarja1.AsetaComm();
    for (std::size_t i = kSettingCount; i < parameters.size(); ++i) {
        if (const auto station = ParseWholeNumber(parameters[i])) Form1.SelectStation(*station);
    }
    Form1.PunnitusClick();
    loop.Run();
}
