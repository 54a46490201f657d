#include "tools/sim/Simulation.h"

#include "text/JonoKasi2.h"

std::vector<Response> Simulation::Feed(std::string_view bytes) {
    std::vector<Response> responses;
    for (const Heard& heard : scanner_.Feed(bytes)) {
        if (heard.kind == Heard::Trigger) {
            sequence_ = heard.value;
            responses.push_back({"trigger, sequence " + IntToHexText(sequence_, 2), {}});
        } else {
            responses.push_back(Respond(heard.value));
        }
    }
    return responses;
}

Response Simulation::Respond(int station) {
    const std::string heard = "request to station " + std::to_string(station);
    const auto found = stations_.find(station);
    if (found == stations_.end()) return {heard + ": not simulated, silent", {}};
    const StationScript& script = found->second;
    const int count = ++requestCounts_[station];
    if (script.silent) return {heard + ": silent", {}};
    if (count < script.answersFrom)
        return {heard + ": request " + std::to_string(count) + ", silent until request " +
                    std::to_string(script.answersFrom),
                {}};
    return {heard + ": answering in " + std::to_string(script.delayMs) + " ms",
            AnswerFor(script, station, sequence_)};
}
