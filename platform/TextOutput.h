// Standard output as the tool sees it: one call writes a text and flushes it.
// The result line is the tool's only output, so nothing is buffered.
#pragma once

#include <string_view>

class TextOutput {
public:
    virtual ~TextOutput() = default;
    // Writes every byte unchanged, then flushes. A failed write is dropped:
    // the caller has nothing better to do with it than to end normally.
    virtual void WriteAndFlush(std::string_view text) = 0;
};

TextOutput& StandardOutput();

// Makes the process safe to run under any caller before anything is opened:
// a closed standard descriptor is reopened on the null device, so that no file
// the tool opens later can take its place, and a reader that went away turns
// writes into errors instead of killing the process.
void PrepareProcess();
