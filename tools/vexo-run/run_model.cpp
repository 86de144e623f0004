#include "run_model.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "bmodel/bmodel.h"
#include "common/files.h"
#include "common/format.h"
#include "common/model_checks.h"
#include "common/tool.h"
#include "tensor_files.h"
#include "timing.h"

namespace vexo::run_tool {

using vexo::tool::count_text;
using vexo::tool::Failure;
using vexo::tool::printable;
using vexo::tool::quoted;

namespace {

constexpr size_t kNamesInMessages = 8;

// "N things (0 to N - 1)", the indices a message about a bad one offers.
std::string range_text(size_t count, const std::string& what) {
  return count_text(count, what) + (count ? " (0 to " + std::to_string(count - 1) + ")" : "");
}

using TensorList = flatbuffers::Vector<flatbuffers::Offset<bmodel::Tensor>>;

void list_tensors(std::ostream& out, const char* kind, const TensorList* tensors) {
  for (size_t i = 0; tensors && i < tensors->size(); ++i) {
    const bmodel::Tensor& t = *tensors->Get(i);
    std::vector<uint64_t> shape;
    if (t.shape() && t.shape()->size() > 0 && t.shape()->Get(0)->dim()) {
      for (const int64_t dim : *t.shape()->Get(0)->dim()) shape.push_back(static_cast<uint64_t>(dim));
    }
    out << "    " << kind << " " << i << " " << printable(t.name()->str()) << ": "
        << describe(static_cast<int>(t.data_type()), shape, t.size()) << "\n";
  }
}

// The model file and the plug-in exist, and the file is not plainly
// unusable (empty, truncated, not a model file, encrypted without a
// plug-in): those are told in plain words before the library reads it.
void check_files(const std::string& path, const std::string& decrypt_lib) {
  vexo::tool::check_input_file(path);
  if (!decrypt_lib.empty()) vexo::tool::check_input_file(decrypt_lib);
  vexo::tool::check_model_file(path, decrypt_lib);
}

}  // namespace

void list_model_file(const std::string& path, const std::string& decrypt_lib, std::ostream& out) {
  check_files(path, decrypt_lib);
  std::unique_ptr<bmodel::ModelCtx> file;
  try {
    file = std::make_unique<bmodel::ModelCtx>(path, decrypt_lib);
  } catch (const std::runtime_error&) {
    throw Failure("cannot read " + path + vexo::tool::library_reason());
  }
  const auto& nets = *file->model()->net();
  for (size_t n = 0; n < nets.size(); ++n) {
    const bmodel::Net& net = *nets.Get(n);
    const size_t stages = net.parameter() ? net.parameter()->size() : 0;
    out << "net " << n << ": " << printable(net.name()->str()) << " (" << count_text(stages, "stage") << ")\n";
    for (size_t s = 0; s < stages; ++s) {
      const bmodel::NetParameter& stage = *net.parameter()->Get(s);
      out << "  stage " << s << ": " << count_text(stage.input_tensor()->size(), "input") << ", "
          << count_text(stage.output_tensor()->size(), "output") << "\n";
      list_tensors(out, "input ", stage.input_tensor());
      list_tensors(out, "output", stage.output_tensor());
    }
  }
}

RunModel::RunModel(const std::string& path, int device, const std::string& decrypt_lib) {
  check_files(path, decrypt_lib);
  const Clock::time_point start = Clock::now();
  runtime_.reset(decrypt_lib.empty()
                     ? minirun::vexoruntime_init(path.c_str(), device)
                     : minirun::vexoruntime_init_decrypt(path.c_str(), device, decrypt_lib.c_str()));
  load_seconds_ = seconds_since(start);
  if (!runtime_) {
    throw Failure("cannot load " + path + " on device " + std::to_string(device) +
                  vexo::tool::library_reason());
  }
  net_count_ = minirun::vexoruntime_get_net_count(runtime_.get());
}

std::string RunModel::net_name(size_t net) const {
  const char* name = minirun::vexoruntime_get_net_name(runtime_.get(), net);
  return name ? name : "";
}

size_t RunModel::find_net(const std::string& net) const {
  for (size_t n = 0; n < net_count_; ++n) {
    if (net == net_name(n)) return n;
  }
  if (!net.empty() && std::all_of(net.begin(), net.end(), [](unsigned char c) { return std::isdigit(c); })) {
    // Compared as text first: a long number must not wrap around.
    const std::string digits = net.substr(std::min(net.find_first_not_of('0'), net.size() - 1));
    if (digits.size() <= std::to_string(net_count_).size() && std::stoull(digits) < net_count_)
      return std::stoull(digits);
    throw Failure("net index " + net + " is out of range: the model has " + range_text(net_count_, "net"));
  }
  std::string names;
  for (size_t n = 0; n < net_count_ && n < kNamesInMessages; ++n)
    names += (n ? ", " : "") + printable(net_name(n));
  if (net_count_ > kNamesInMessages) names += ", ...";
  throw Failure("the model has no net called " + quoted(net) + " (its nets: " + names + ")");
}

void RunModel::select(size_t net, size_t stage) {
  const size_t stages = minirun::vexoruntime_get_stage_count(runtime_.get(), net);
  if (stage >= stages) {
    throw Failure("stage " + std::to_string(stage) + " is out of range: net " + printable(net_name(net)) + " has " +
                  range_text(stages, "stage"));
  }
  minirun::vexoruntime_set_net_stage(runtime_.get(), net, stage);
  if (runtime_->cur_net_idx != net || runtime_->cur_stage_idx != stage) {
    throw Failure("cannot select stage " + std::to_string(stage) + " of net " + printable(net_name(net)) +
                  vexo::tool::library_reason());
  }
  selected_net_ = net;
  selected_stage_ = stage;
}

std::vector<StageTensor> RunModel::tensors(char io_type) const {
  std::vector<StageTensor> list(minirun::vexoruntime_get_io_count(runtime_.get(), io_type));
  for (size_t i = 0; i < list.size(); ++i) {
    vexo_tensor_desc desc{};
    list[i].record = minirun::vexoruntime_get_io_tensor(runtime_.get(), io_type, i);
    if (!list[i].record ||
        !minirun::vexoruntime_get_tensor_desc(runtime_.get(), selected_net_, selected_stage_, io_type, i, &desc)) {
      throw Failure("the runtime has no record for tensor " + std::to_string(i) + vexo::tool::library_reason());
    }
    list[i].name = desc.name;
    list[i].dtype = desc.dtype;
    list[i].shape.assign(desc.shape, desc.shape + desc.dims);
    list[i].size = desc.size;
  }
  return list;
}

}  // namespace vexo::run_tool
