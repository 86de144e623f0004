#include "merge.h"

#include <map>
#include <sstream>
#include <string>

#include "common/format.h"
#include "common/tool.h"

namespace vexo::model_tool {

namespace {

using vexo::tool::Failure;
using vexo::tool::quoted;
using TensorVector = flatbuffers::Vector<flatbuffers::Offset<bmodel::Tensor>>;

// A stage as the writer would hold it, with where it came from.
struct Stage {
  const ModelFile* file;
  size_t index;  // within its net in that file
  int32_t addr_mode;
  const bmodel::NetParameter* parameter;
};

uint32_t count(const TensorVector* tensors) { return tensors ? tensors->size() : 0; }

std::string both(int64_t a, int64_t b) { return std::to_string(a) + " and " + std::to_string(b); }

std::string tensor_label(const char* kind, uint32_t index, const bmodel::Tensor& tensor) {
  return std::string(kind) + " " + std::to_string(index) + " " + quoted(tensor.name()->str());
}

bool same_shape(const bmodel::Shape* a, const bmodel::Shape* b) {
  const auto* x = a->dim();
  const auto* y = b->dim();
  const uint32_t n = x ? x->size() : 0;
  if (n != (y ? y->size() : 0)) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (x->Get(i) != y->Get(i)) return false;
  }
  return true;
}

// Why the writer would refuse the inputs of `later` beside those of
// `earlier` (its IsTensorConflict), or "".
std::string input_conflict(const TensorVector* earlier, const TensorVector* later) {
  if (count(earlier) != count(later)) return "they have " + both(count(earlier), count(later)) + " inputs";
  bool some_shape_differs = false;
  for (uint32_t i = 0; i < count(earlier); ++i) {
    const bmodel::Tensor& a = *earlier->Get(i);
    const bmodel::Tensor& b = *later->Get(i);
    if (a.name()->str() != b.name()->str()) {
      return "input " + std::to_string(i) + " is called " + quoted(a.name()->str()) + " in one and " +
             quoted(b.name()->str()) + " in the other";
    }
    const std::string label = tensor_label("input", i, a);
    if (a.data_type() != b.data_type()) {
      return label + " is " + vexo::tool::element_type_name(a.data_type()) + " in one and " +
             vexo::tool::element_type_name(b.data_type()) + " in the other";
    }
    if (a.scale() != b.scale()) {
      std::ostringstream scales;
      scales << a.scale() << " and " << b.scale();
      return label + " has the scales " + scales.str();
    }
    if (a.zero_point() != b.zero_point())
      return label + " has the zero points " + both(a.zero_point(), b.zero_point());
    const uint32_t shapes = a.shape() ? a.shape()->size() : 0;
    const uint32_t other_shapes = b.shape() ? b.shape()->size() : 0;
    if (shapes != other_shapes) return label + " has " + both(shapes, other_shapes) + " shapes";
    for (uint32_t s = 0; s < shapes; ++s) {
      if (!same_shape(a.shape()->Get(s), b.shape()->Get(s))) some_shape_differs = true;
    }
  }
  if (!some_shape_differs)
    return "their inputs have the same shapes (the stages of a net differ in input shape)";
  return "";
}

// Why the writer would refuse `later` as another stage beside `earlier`
// (the checks of its merging AddNet, in its order), or "".
std::string stage_conflict(const Stage& earlier, const Stage& later) {
  const bmodel::NetParameter& a = *earlier.parameter;
  const bmodel::NetParameter& b = *later.parameter;
  if (earlier.addr_mode != later.addr_mode) {
    return "their addr_mode differs (" + both(earlier.addr_mode, later.addr_mode) + "), and a net has one";
  }
  if (a.is_dynamic() != b.is_dynamic()) return "one is dynamic and the other static";
  const std::string inputs = input_conflict(a.input_tensor(), b.input_tensor());
  if (!inputs.empty()) return inputs;
  if (a.n_dynamic() != b.n_dynamic())
    return "their n_dynamic differs (" + both(a.n_dynamic(), b.n_dynamic()) + ")";
  if (a.h_w_dynamic() != b.h_w_dynamic()) {
    return "their h_w_dynamic differs (" + both(a.h_w_dynamic(), b.h_w_dynamic()) + ")";
  }
  const uint32_t outputs = count(a.output_tensor());
  if (count(b.output_tensor()) < outputs) {
    return "the later has " + vexo::tool::count_text(count(b.output_tensor()), "output") +
           ", fewer than the " + std::to_string(outputs) + " of the earlier";
  }
  for (uint32_t i = 0; i < outputs; ++i) {
    const std::string name = a.output_tensor()->Get(i)->name()->str();
    const std::string other = b.output_tensor()->Get(i)->name()->str();
    if (name != other) {
      return "output " + std::to_string(i) + " is called " + quoted(name) + " in one and " + quoted(other) +
             " in the other";
    }
  }
  const auto several_subnets = [](const bmodel::NetParameter& p) {
    return p.sub_net() && p.sub_net()->size() > 1;
  };
  if (several_subnets(a) != several_subnets(b)) return "one has several subnets and the other not";
  return "";
}

}  // namespace

MergeCounts check_merge(const std::vector<const ModelFile*>& files) {
  if (files.front()->model().chip()->str().empty()) {
    throw Failure(files.front()->path() + " names no chip, which the merged model takes from it");
  }
  std::map<std::string, std::vector<Stage>> nets;
  MergeCounts counts;
  for (const ModelFile* file : files) {
    const auto& file_nets = *file->model().net();
    for (uint32_t n = 0; n < file_nets.size(); ++n) {
      const bmodel::Net& net = *file_nets.Get(n);
      const std::string name = net.name()->str();
      if (name.empty())
        throw Failure(file->path() + ": net " + std::to_string(n) + " has an empty name (\"\")");
      if (!net.parameter() || net.parameter()->size() == 0) {
        throw Failure(file->path() + ": net " + quoted(name) + " has no stages");
      }
      std::vector<Stage>& merged = nets[name];
      for (uint32_t s = 0; s < net.parameter()->size(); ++s) {
        const Stage stage{file, s, file->stored_net(net).addr_mode(), net.parameter()->Get(s)};
        for (const Stage& earlier : merged) {
          const std::string why = stage_conflict(earlier, stage);
          if (why.empty()) continue;
          throw Failure("cannot merge stage " + std::to_string(earlier.index) + " of net " + quoted(name) +
                        " in " + earlier.file->path() + " and stage " + std::to_string(s) +
                        " of that net in " + file->path() + ": " + why);
        }
        merged.push_back(stage);
        ++counts.stages;
      }
    }
  }
  if (nets.empty()) {
    throw Failure(files.size() == 1 ? files.front()->path() + " holds no nets"
                                    : "none of the files holds a net");
  }
  counts.nets = nets.size();
  return counts;
}

}  // namespace vexo::model_tool
