// Replies that reach the tool in pieces: whole runs in virtual time through
// the driver, the link front and the poll cycle, against a recording port.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "poll/Frames.h"
#include "poll/Startup.h"
#include "tests/support/FakeSerialPorts.h"
#include "tests/support/ReplyBuilder.h"
#include "tests/support/ScriptedLine.h"

namespace {

// Station 3 answers its read request with the reply cut into the given
// pieces, each arriving in its own read-timer interval.
std::string RunWithPieces(const std::vector<std::string>& pieces, std::int64_t& writtenAtMs) {
    VirtualTime time;
    EventLoop loop(time);
    CapturedOutput output(loop);
    FakeSerialPorts line(time);
    line.onWrite = [&](const std::string& bytes) {
        if (bytes.find(ReadRequest(3)) == std::string::npos) return;
        for (std::size_t k = 0; k < pieces.size(); ++k)
            line.Arrive(time.NowMs() + 20 + 50 * static_cast<std::int64_t>(k), pieces[k]);
    };
    RunTool({"COM1", "9600", "8", "None", "1", "3"}, loop, output, line);
    writtenAtMs = output.writtenAtMs;
    return output.Text();
}

}  // namespace

// The read request goes out at 5000 ms; the read timer ticks every 50 ms, so
// the last piece is read at 5050 + 50 * (pieces - 1) ms and answers at once.
TEST(SplitReply, EverySplitPointOfAReplyIsJoined) {
    const std::string reply = ReplyBuilder().Address(3).Build();
    for (std::size_t split = 1; split < reply.size(); ++split) {
        std::int64_t writtenAtMs = -1;
        EXPECT_EQ(RunWithPieces({reply.substr(0, split), reply.substr(split)}, writtenAtMs), "0;3,0,1250")
            << "split after byte " << split;
        EXPECT_EQ(writtenAtMs, 5100) << "split after byte " << split;
    }
}

TEST(SplitReply, AReplyByteByByteWithFillAround) {
    const std::string bytes = "\xFF\xFF\xFF" + ReplyBuilder().Address(3).Build() + "\xFF\xFF\xFF";
    std::vector<std::string> pieces;
    for (char byte : bytes) pieces.emplace_back(1, byte);
    std::int64_t writtenAtMs = -1;
    EXPECT_EQ(RunWithPieces(pieces, writtenAtMs), "0;3,0,1250");
    EXPECT_EQ(writtenAtMs, 5050 + 50 * (3 + 36 - 1));
}
