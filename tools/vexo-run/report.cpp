#include "report.h"

#include <string>
#include <vector>

#include "common/format.h"
#include "common/json_report.h"

namespace vexo::run_tool {

Report::Report() : document_(vexo::tool::report_document("vexo-run", 1)) {}

void Report::set_run(const std::string& model, size_t net, const std::string& net_name, size_t stage,
                     int device) {
  document_["model"] = model;
  document_["net"] = {{"index", net}, {"name", net_name}};
  document_["stage"] = stage;
  document_["device"] = device;
  document_["inputs"] = nlohmann::ordered_json::array();
  document_["outputs"] = nlohmann::ordered_json::array();
}

void Report::add_tensor(const std::string& list, const StageTensor& tensor, const std::string& source) {
  nlohmann::ordered_json entry;
  entry["name"] = tensor.name;
  entry["dtype"] = vexo::tool::element_type_name(static_cast<uint32_t>(tensor.dtype));
  entry["shape"] = tensor.shape;
  entry["bytes"] = tensor.size;
  if (!source.empty()) entry["source"] = source;
  document_[list].push_back(entry);
}

void Report::set_times(double load, double first_run, size_t warmups, const Statistics& figures,
                       const std::string& signal) {
  document_["load_seconds"] = load;
  document_["first_run_seconds"] =
      first_run < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(first_run);
  document_["warmup_runs"] = warmups;
  document_["runs"] = vexo::tool::statistics_json(figures, "runs_per_second");
  document_["interrupted"] = !signal.empty();
  document_["signal"] = signal.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(signal);
}

void Report::write(const std::string& path) const { vexo::tool::write_report(path, document_); }

}  // namespace vexo::run_tool
