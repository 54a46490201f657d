#include <windows.h>

#include "platform/TextOutput.h"
#include "platform/win32/WriteAll.h"

namespace {

// Writes straight to the standard output handle: no C runtime buffer and no
// text-mode translation, so "\r\n" goes out as exactly those two bytes.
class HandleOutput final : public TextOutput {
public:
    // A failed write is dropped: the run ends normally all the same.
    void WriteAndFlush(std::string_view text) override { WriteAll(GetStdHandle(STD_OUTPUT_HANDLE), text); }
};

}  // namespace

TextOutput& StandardOutput() {
    static HandleOutput output;
    return output;
}

// Nothing to prepare on Windows: a missing standard handle is never handed
// out again for a file the tool opens, and a reader that went away only
// makes the write fail.
void PrepareProcess() {}
