// The simulator's two optional outputs: the record of every chunk read from
// and written to the line (format in RecordFormat.h) and the log of frames
// heard and what they caused. Each line is flushed at once, so a test can
// read the files while the simulator runs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

class Journal {
public:
    // Empty paths write nothing; a log path "-" is standard error. Throws
    // std::system_error when a file cannot be opened.
    Journal(const std::string& recordPath, const std::string& logPath);
    Journal(const Journal&) = delete;
    Journal& operator=(const Journal&) = delete;
    ~Journal();

    void Record(std::int64_t ms, std::string_view direction, std::string_view bytes);
    void Note(std::int64_t ms, std::string_view text);

private:
    std::FILE* record_ = nullptr;
    std::FILE* log_ = nullptr;
};
