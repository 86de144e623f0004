// The JSON report of a run (--json FILE), one document whose schema is
// described in docs/tools.md; "schema" names its version, 1.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "run_model.h"
#include "timing.h"

namespace vexo::run_tool {

class Report {
 public:
  Report();

  void set_run(const std::string& model, size_t net, const std::string& net_name, size_t stage, int device);
  // Adds a tensor to "inputs" or "outputs"; an input's source says where its
  // data came from.
  void add_tensor(const std::string& list, const StageTensor& tensor, const std::string& source);
  // A negative first run: no run was done. An empty signal: not interrupted.
  void set_times(double load, double first_run, size_t warmups, const Statistics& figures,
                 const std::string& signal);

  // Writes the document, replacing path; a failed write throws.
  void write(const std::string& path) const;

 private:
  nlohmann::ordered_json document_;
};

}  // namespace vexo::run_tool
