// The frame search (HaeSanoma) on the buffers a run meets, and the decoding
// and check of a found reply. Each search works on a fresh copy of its
// buffer, as the search cuts the buffer down when it finds a frame; the copy
// is timed with it.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "poll/Frames.h"
#include "poll/Reply.h"
#include "tools/sim/StationReply.h"

namespace {

std::string GoodReply() {
    ReplyFields fields;
    fields.address = '3';
    fields.sequence = "02";
    for (ReadingBytes& reading : fields.readings) reading.digits = "0001250";
    return BuildReply(fields);
}

// Bytes that look like a line with noise on it, STX and CR among them.
std::string Noise(std::size_t size) {
    std::string bytes;
    std::uint32_t state = 12345;
    while (bytes.size() < size) {
        state = state * 1103515245u + 12345u;
        bytes += static_cast<char>(state >> 24);
    }
    for (std::size_t k = 0; k < size; k += 7) bytes[k] = frame::STX;
    for (std::size_t k = 3; k < size; k += 11) bytes[k] = frame::CR;
    return bytes;
}

const std::string kFill(3, '\xFF');

void Search(benchmark::State& state, const std::string& buffer) {
    for (auto _ : state) {
        std::string copy = buffer;
        benchmark::DoNotOptimize(HaeSanoma(copy));
        benchmark::DoNotOptimize(copy.data());
    }
}

void BM_SearchPartialReply(benchmark::State& state) { Search(state, kFill + GoodReply().substr(0, 20)); }
void BM_SearchReplyAfterFill(benchmark::State& state) { Search(state, kFill + GoodReply()); }
void BM_SearchReplyAfterNoise(benchmark::State& state) { Search(state, Noise(76) + GoodReply()); }
void BM_SearchNoiseWithoutFrame(benchmark::State& state) { Search(state, Noise(frame::kReplyBufferLimit)); }

void BM_DecodeAndCheckReply(benchmark::State& state) {
    const std::string reply = GoodReply();
    for (auto _ : state) {
        const ReplyReadings readings = DecodeReadings(reply);
        std::string weight;
        std::string mark;
        bool errorFlag = false;
        TarkTiedot(readings, weight, mark, errorFlag);
        benchmark::DoNotOptimize(weight.data());
        benchmark::DoNotOptimize(errorFlag);
    }
}

}  // namespace

BENCHMARK(BM_SearchPartialReply);
BENCHMARK(BM_SearchReplyAfterFill);
BENCHMARK(BM_SearchReplyAfterNoise);
BENCHMARK(BM_SearchNoiseWithoutFrame);
BENCHMARK(BM_DecodeAndCheckReply);
