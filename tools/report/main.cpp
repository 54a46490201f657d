// scalepoll-report: a report over a line trace of scalepoll's runs, as text,
// JSON or one run's timeline picture. See --help.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "ScalepollVersion.h"
#include "tools/report/ReportOptions.h"
#include "tools/report/ReportOutput.h"
#include "tools/report/Timeline.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Feeds the trace to `splitter` in chunks until it ends or `enough` says so;
// false when the file cannot be read (the message is on standard error).
template <typename Enough>
bool ReadTrace(const std::string& path, LineSplitter& splitter, Enough enough) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        std::cerr << "scalepoll-report: " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    std::vector<char> chunk(256 * 1024);
    errno = 0;
    while (!enough()) {
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), file.get());
        splitter.Feed(std::string_view(chunk.data(), got));
        if (got < chunk.size()) break;
    }
    if (std::ferror(file.get())) {  // a folder, or the disk failing
        std::cerr << "scalepoll-report: " << path << ": " << std::strerror(errno) << '\n';
        return false;
    }
    return true;
}

int Report(const ReportOptions& options) {
    TraceTally tally;
    LineSplitter splitter([&](std::string_view line) { tally.Add(line); });
    if (!ReadTrace(options.traceFile, splitter, [] { return false; })) return 1;
    const TraceSummary& summary = tally.End(splitter.EndedMidLine());
    std::cout << (options.form == ReportOptions::Form::Json ? JsonReport(summary) : TextReport(summary));
    return 0;
}

int Timeline(const ReportOptions& options) {
    TimelineCollector collector(options.timelineRun);
    LineSplitter splitter([&](std::string_view line) { collector.Add(line); });
    if (!ReadTrace(options.traceFile, splitter, [&] { return collector.Done(); })) return 1;
    if (!collector.Found()) {
        std::cerr << "scalepoll-report: " << options.traceFile << " holds " << collector.RunsSeen()
                  << " runs, no run " << options.timelineRun << '\n';
        return 1;
    }
    std::cout << TimelineSvg(collector.Run());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ReportOptions options;
    try {
        options = ParseReportOptions(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
    } catch (const ReportUsageError& error) {
        std::cerr << "scalepoll-report: " << error.what() << " (see scalepoll-report --help)\n";
        return 2;
    }
    if (options.help) {
        std::cout << ReportHelpText();
        return 0;
    }
    if (options.version) {
        std::cout << "scalepoll-report " << kScalepollVersion << '\n';
        return 0;
    }
    const int status = options.form == ReportOptions::Form::Timeline ? Timeline(options) : Report(options);
    std::cout.flush();
    return std::cout ? status : 1;
}
