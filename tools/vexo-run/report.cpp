#include "report.h"

#include <string>
#include <vector>

#include "common/files.h"
#include "common/format.h"
#include "utils/version.h"

namespace vexo::run_tool {

Report::Report() {
  document_["schema"] = 1;
  document_["tool"] = "vexo-run";
  document_["version"] = VEXO_VERSION;
}

void Report::set_run(const std::string& model, size_t net, const std::string& net_name, size_t stage,
                     int device) {
  document_["model"] = model;
  document_["net"] = {{"index", net}, {"name", net_name}};
  document_["stage"] = stage;
  document_["device"] = device;
  document_["inputs"] = nlohmann::ordered_json::array();
  document_["outputs"] = nlohmann::ordered_json::array();
}

void Report::add_tensor(const std::string& list, const minitensor::VexoTensor& tensor,
                        const std::string& source) {
  nlohmann::ordered_json entry;
  entry["name"] = tensor.name;
  entry["dtype"] = vexo::tool::element_type_name(static_cast<uint32_t>(tensor.dtype));
  entry["shape"] = std::vector<uint64_t>(
      tensor.shape, tensor.shape + std::min<uint64_t>(tensor.dims, minitensor::kTensorShapeSlots));
  entry["bytes"] = tensor.size;
  if (!source.empty()) entry["source"] = source;
  document_[list].push_back(entry);
}

nlohmann::ordered_json statistics_json(const Statistics& figures) {
  return {{"count", figures.count},       {"total_seconds", figures.total},
          {"mean_seconds", figures.mean}, {"stddev_seconds", figures.stddev},
          {"min_seconds", figures.min},   {"median_seconds", figures.median},
          {"p90_seconds", figures.p90},   {"p99_seconds", figures.p99},
          {"max_seconds", figures.max},   {"runs_per_second", figures.runs_per_second}};
}

void Report::set_times(double load, double first_run, size_t warmups, const Statistics& figures,
                       const std::string& signal) {
  document_["load_seconds"] = load;
  document_["first_run_seconds"] =
      first_run < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(first_run);
  document_["warmup_runs"] = warmups;
  document_["runs"] = statistics_json(figures);
  document_["interrupted"] = !signal.empty();
  document_["signal"] = signal.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(signal);
}

void Report::write(const std::string& path) const {
  // Bytes that are not UTF-8 (a tensor name may hold any) are replaced, so
  // the document is always valid.
  const std::string text =
      document_.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  vexo::tool::write_bytes(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace vexo::run_tool
