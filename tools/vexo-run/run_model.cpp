#include "run_model.h"

#include <algorithm>
#include <cctype>

#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "tensor_files.h"
#include "timing.h"

namespace vexo::run_tool {

using vexo::tool::count_text;
using vexo::tool::Failure;

namespace {

constexpr size_t kNamesInMessages = 8;

// "N things (0 to N - 1)", the indices a message about a bad one offers.
std::string range_text(size_t count, const std::string& what) {
  return count_text(count, what) + (count ? " (0 to " + std::to_string(count - 1) + ")" : "");
}

void list_tensors(std::ostream& out, const char* kind, const C_TensorInfo* tensors, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const C_TensorInfo& t = tensors[i];
    out << "    " << kind << " " << i << " " << t.name << ": "
        << describe(t.data_type, t.shape, t.dims, t.size) << "\n";
  }
}

}  // namespace

RunModel::RunModel(const std::string& path, int device, const std::string& decrypt_lib) {
  vexo::tool::check_input_file(path);
  if (!decrypt_lib.empty()) vexo::tool::check_input_file(decrypt_lib);
  const Clock::time_point start = Clock::now();
  runtime_.reset(decrypt_lib.empty()
                     ? minirun::vexoruntime_init(path.c_str(), device)
                     : minirun::vexoruntime_init_decrypt(path.c_str(), device, decrypt_lib.c_str()));
  load_seconds_ = seconds_since(start);
  if (!runtime_) {
    throw Failure("cannot load " + path + " on device " + std::to_string(device) +
                  vexo::tool::library_reason());
  }
  description_ = convert_model_info(&runtime_->model_info);
  if (!description_) {
    throw Failure("cannot describe " + path +
                  ": it exceeds the flat model description (the library's log says how)");
  }
}

void RunModel::list(std::ostream& out) const {
  for (size_t n = 0; n < description_->net_num; ++n) {
    const C_NetInfo& net = description_->nets[n];
    out << "net " << n << ": " << net.name << " (" << count_text(net.stage_num, "stage") << ")\n";
    for (size_t s = 0; s < net.stage_num; ++s) {
      const C_StageInfo& stage = net.stages[s];
      out << "  stage " << s << ": " << count_text(stage.input_num, "input") << ", "
          << count_text(stage.output_num, "output") << "\n";
      list_tensors(out, "input ", stage.input_tensor, stage.input_num);
      list_tensors(out, "output", stage.output_tensor, stage.output_num);
    }
  }
}

size_t RunModel::find_net(const std::string& net) const {
  const size_t count = description_->net_num;
  for (size_t n = 0; n < count; ++n) {
    if (net == description_->nets[n].name) return n;
  }
  if (!net.empty() && std::all_of(net.begin(), net.end(), [](unsigned char c) { return std::isdigit(c); })) {
    // Compared as text first: a long number must not wrap around.
    const std::string digits = net.substr(std::min(net.find_first_not_of('0'), net.size() - 1));
    if (digits.size() <= std::to_string(count).size() && std::stoull(digits) < count)
      return std::stoull(digits);
    throw Failure("net index " + net + " is out of range: the model has " + range_text(count, "net"));
  }
  std::string names;
  for (size_t n = 0; n < count && n < kNamesInMessages; ++n) names += (n ? ", " : "") + net_name(n);
  if (count > kNamesInMessages) names += ", ...";
  throw Failure("the model has no net called " + net + " (its nets: " + names + ")");
}

void RunModel::select(size_t net, size_t stage) {
  const C_NetInfo& info = description_->nets[net];
  if (stage >= info.stage_num) {
    throw Failure("stage " + std::to_string(stage) + " is out of range: net " + info.name + " has " +
                  range_text(info.stage_num, "stage"));
  }
  minirun::vexoruntime_set_net_stage(runtime_.get(), net, stage);
  if (runtime_->cur_net_idx != net || runtime_->cur_stage_idx != stage) {
    throw Failure("cannot select stage " + std::to_string(stage) + " of net " + info.name);
  }
}

std::vector<minitensor::VexoTensor*> RunModel::records(char io_type) const {
  std::vector<minitensor::VexoTensor*> list(minirun::vexoruntime_get_io_count(runtime_.get(), io_type));
  for (size_t i = 0; i < list.size(); ++i) {
    list[i] = minirun::vexoruntime_get_io_tensor(runtime_.get(), io_type, i);
    if (!list[i]) throw Failure("the runtime has no record for tensor " + std::to_string(i));
  }
  return list;
}

}  // namespace vexo::run_tool
