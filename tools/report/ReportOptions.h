// ReportOptions: the command line of scalepoll-report, taken apart.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct ReportOptions {
    enum class Form { Text, Json, Timeline };
    Form form = Form::Text;
    std::uint64_t timelineRun = 0;  // from 1
    std::string traceFile;
    bool help = false;
    bool version = false;
};

struct ReportUsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The parameters after the program's name; throws ReportUsageError.
ReportOptions ParseReportOptions(const std::vector<std::string>& parameters);

const char* ReportHelpText();
