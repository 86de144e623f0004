// The JSON reports of the tools (--json FILE): one document that opens with
// "schema" (the version of its layout), "tool" and "version" (the
// library's). Each tool's layout is described in docs/tools.md.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "common/statistics.h"

namespace vexo::tool {

nlohmann::ordered_json report_document(const std::string& tool, int schema);

// The figures as an object of times in seconds: "count", "total_seconds",
// "mean_seconds", "stddev_seconds", "min_seconds", "median_seconds",
// "p90_seconds", "p99_seconds", "max_seconds", then the rate under
// rate_name ("runs_per_second", "tokens_per_second").
nlohmann::ordered_json statistics_json(const Statistics& figures, const std::string& rate_name);

// Writes the document, replacing path; a failed write throws Failure. Bytes
// that are not UTF-8 (a tensor name or generated text may hold any) are
// replaced by U+FFFD, so that the document is always valid.
void write_report(const std::string& path, const nlohmann::ordered_json& document);

}  // namespace vexo::tool
