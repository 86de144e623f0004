#include "common/json_report.h"

#include "common/files.h"
#include "utils/version.h"

namespace vexo::tool {

nlohmann::ordered_json report_document(const std::string& tool, int schema) {
  nlohmann::ordered_json document;
  document["schema"] = schema;
  document["tool"] = tool;
  document["version"] = VEXO_VERSION;
  return document;
}

nlohmann::ordered_json statistics_json(const Statistics& figures, const std::string& rate_name) {
  return {{"count", figures.count},       {"total_seconds", figures.total},
          {"mean_seconds", figures.mean}, {"stddev_seconds", figures.stddev},
          {"min_seconds", figures.min},   {"median_seconds", figures.median},
          {"p90_seconds", figures.p90},   {"p99_seconds", figures.p99},
          {"max_seconds", figures.max},   {rate_name, figures.per_second}};
}

void write_report(const std::string& path, const nlohmann::ordered_json& document) {
  const std::string text =
      document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  write_bytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace vexo::tool
