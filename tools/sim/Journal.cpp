#include "tools/sim/Journal.h"

#include <cerrno>
#include <system_error>

#include "tools/sim/RecordFormat.h"

namespace {

std::FILE* Open(const std::string& path) {
    if (path.empty()) return nullptr;
    if (path == "-") return stderr;
    std::FILE* file = std::fopen(path.c_str(), "we");
    if (file == nullptr) throw std::system_error(errno, std::generic_category(), "cannot write " + path);
    return file;
}

void Put(std::FILE* file, const std::string& line) {
    if (file == nullptr) return;
    std::fputs(line.c_str(), file);
    std::fflush(file);
}

void Close(std::FILE* file) {
    if (file != nullptr && file != stderr) std::fclose(file);
}

}  // namespace

Journal::Journal(const std::string& recordPath, const std::string& logPath) : record_(Open(recordPath)) {
    try {
        log_ = Open(logPath);
    } catch (...) {
        Close(record_);
        throw;
    }
}

Journal::~Journal() {
    Close(record_);
    Close(log_);
}

void Journal::Record(std::int64_t ms, std::string_view direction, std::string_view bytes) {
    Put(record_, RecordLine(ms, direction, bytes));
}

void Journal::Note(std::int64_t ms, std::string_view text) {
    Put(log_, std::to_string(ms) + ' ' + std::string(text) + '\n');
}
