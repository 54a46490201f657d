#include "tools/report/ReportOptions.h"

#include "tools/report/TraceLine.h"

ReportOptions ParseReportOptions(const std::vector<std::string>& parameters) {
    ReportOptions options;
    bool formGiven = false;
    const auto chooseForm = [&](ReportOptions::Form form) {
        if (formGiven) throw ReportUsageError("--json and --timeline exclude each other");
        formGiven = true;
        options.form = form;
    };
    for (std::size_t n = 0; n < parameters.size(); ++n) {
        const std::string& parameter = parameters[n];
        if (parameter == "--help") {
            options.help = true;
        } else if (parameter == "--version") {
            options.version = true;
        } else if (parameter == "--json") {
            chooseForm(ReportOptions::Form::Json);
        } else if (parameter == "--timeline") {
            chooseForm(ReportOptions::Form::Timeline);
            const auto run = n + 1 < parameters.size() ? WholeNumberIn(parameters[n + 1], 1, INT64_MAX) : std::nullopt;
            if (!run) throw ReportUsageError("--timeline needs a run number, 1 for the first run");
            options.timelineRun = static_cast<std::uint64_t>(*run);
            ++n;
        } else if (parameter.starts_with("--") && parameter != "--") {
            throw ReportUsageError("unknown option " + parameter);
        } else if (options.traceFile.empty()) {
            options.traceFile = parameter == "--" && n + 1 < parameters.size() ? parameters[++n] : parameter;
        } else {
            throw ReportUsageError("one trace file only");
        }
    }
    if (options.traceFile.empty() && !options.help && !options.version) throw ReportUsageError("no trace file given");
    return options;
}

const char* ReportHelpText() {
    return R"(Usage: scalepoll-report [--json] TRACEFILE
       scalepoll-report --timeline RUN TRACEFILE > RUN.svg

Reads a line trace that scalepoll wrote (SCALEPOLL_TRACE), in one pass, and
reports on its runs, runs written at the same time told apart by their run
marks: how many and over what time, their result lines by kind; for each
line (the device a port line names) its opens and open failures by reason,
and for each of its stations how often it was asked, answered at the first
or a later try or late, stayed silent, had its reply lost to the 112-byte
rule or its line failed, its replies not taken while asked by reason, its
answer times (median, 95th percentile, worst) and when it was last heard.
Lines it does not understand, and a last line cut off, are counted and
skipped.

Options:
  --json          the report as one JSON object
  --timeline RUN  an SVG picture of run RUN (1 is the trace's first run to
                  start) on standard output: DTR, the frames and bytes on the
                  line, and each station's tries with their verdicts, time
                  across
  --help          this text
  --version       the version of scalepoll it comes with

Exit status: 0 with a report, 1 when the trace cannot be read or holds no
run RUN, 2 for a wrong command line.
)";
}
