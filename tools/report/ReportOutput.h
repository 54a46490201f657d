// ReportOutput: a trace's summary as text for a technician, or as one JSON
// object for a site's own programs.
#pragma once

#include <string>
#include <string_view>

#include "tools/report/TraceTally.h"

std::string TextReport(const TraceSummary& summary);
std::string JsonReport(const TraceSummary& summary);

// The text as a JSON string, quotes included. Bytes that are not printable
// ASCII become \u00XX escapes (read as Latin-1), so the result is always
// valid JSON in UTF-8, whatever the trace held.
std::string JsonString(std::string_view text);
