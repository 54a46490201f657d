// The bytes of every frame on the line, kept apart from moving them: building
// the trigger frame and read requests, the checksum that closes each frame,
// address characters, and finding a reply frame among received bytes.
//
// A frame is STX, content, CR and one checksum byte that makes all bytes of
// the frame add up to 0 modulo 256. Frames are recognised by fixed positions,
// never by a closing CR, because the checksum byte may be any value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace frame {
constexpr char STX = 2;
constexpr char CR = 13;
constexpr std::size_t kReplySize = 36;
// Received bytes that have not formed a reply by this size are thrown away.
constexpr std::size_t kReplyBufferLimit = 112;
}  // namespace frame

// LasCrC ("compute checksum"): two's complement of the 8-bit sum of the text.
char LasCrC(std::string_view text);

// VtunToASCtun: station number as text ("01".."14") to its address character
// (code 48 + number); a text that is no number counts as 0.
std::string VtunToASCtun(std::string_view stationText);

// ASCtunToVtun: address character to the two-character station text
// ("1" -> "01", ">" -> "14"); longer numbers are cut to two characters.
std::string ASCtunToVtun(std::string_view addressCharacter);

// The sequence number a trigger frame carries after `previous`: one more,
// and 1 again after 255, so it never is 0 and always fits two hex digits.
std::int32_t NextSequenceNumber(std::int32_t previous);

// The trigger frame that opens a weighing, carrying the sequence number.
std::string TriggerFrame(std::int32_t sequenceNumber);

// The read request for station 1..14.
std::string ReadRequest(int station);

// HaeSanoma ("fetch message"): when the buffer holds a complete reply frame
// with a good checksum, cut the buffer down to exactly that frame and return
// true; otherwise leave the buffer as it is.
bool HaeSanoma(std::string& buffer);

// Where the bytes hold a whole reply frame with a good checksum: each place
// HaeSanoma would take a frame from, were the bytes before it gone.
std::vector<std::size_t> ReplyFramesIn(std::string_view bytes);

// Where, from position `from` on, the buffer holds the shape of a reply frame
// (STX, CR 34 bytes later, a checksum byte after it) whose checksum does not
// fit: the frames HaeSanoma passes over.
std::vector<std::size_t> FramesWithWrongChecksum(std::string_view buffer, std::size_t from);
