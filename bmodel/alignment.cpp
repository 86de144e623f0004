// The alignment of the metadata's vectors of 8-byte elements.
#include <cstdint>

#include "bmodel/internal/alignment.h"

namespace bmodel::detail {
namespace {

// An empty vector passes wherever it sits: no element is ever read from it,
// and FlatBuffers' builders do not align the data of an empty vector.
template <typename T>
bool aligned(const flatbuffers::Vector<T>* vector) {
  return vector == nullptr || vector->size() == 0 || reinterpret_cast<uintptr_t>(vector->Data()) % 8 == 0;
}

// Applies check to every element of a vector of tables; an absent vector
// passes.
template <typename T, typename Check>
bool all_of(const flatbuffers::Vector<flatbuffers::Offset<T>>* tables, Check check) {
  if (tables == nullptr) return true;
  for (const T* table : *tables) {
    if (!check(table)) return false;
  }
  return true;
}

bool tensors_aligned(const flatbuffers::Vector<flatbuffers::Offset<Tensor>>* tensors) {
  return all_of(tensors, [](const Tensor* tensor) {
    return all_of(tensor->shape(), [](const Shape* shape) { return aligned(shape->dim()); });
  });
}

bool subnets_aligned(const flatbuffers::Vector<flatbuffers::Offset<SubNet>>* subnets) {
  return all_of(subnets, [](const SubNet* subnet) {
    return tensors_aligned(subnet->input_tensor()) && tensors_aligned(subnet->output_tensor()) &&
           all_of(subnet->core_commands(), [](const CoreCommands* core) {
             return aligned(core->sdma_commands()) && aligned(core->hau_commands()) &&
                    aligned(core->cdma_commands());
           });
  });
}

// The parts that every form of a stage has.
template <typename Stage>
bool stage_aligned(const Stage* stage) {
  return tensors_aligned(stage->input_tensor()) && tensors_aligned(stage->output_tensor()) &&
         subnets_aligned(stage->sub_net());
}

}  // namespace

bool wide_vectors_aligned(const Model* model) {
  return all_of(model->net(), [](const Net* net) {
    return all_of(net->net_static(), stage_aligned<NetStatic>) &&
           all_of(net->net_dynamic(), stage_aligned<NetDynamic>) &&
           all_of(net->parameter(), [](const NetParameter* stage) {
             return stage_aligned(stage) && aligned(stage->ctx_sizes());
           });
  });
}

}  // namespace bmodel::detail
