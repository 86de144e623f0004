// A check the FlatBuffers verifier leaves out.
#pragma once

#include "bmodel/bmodel.h"

namespace bmodel::detail {

// Whether every vector of 8-byte elements (shape dimensions, context sizes,
// command stream ranges) starts on an 8-byte boundary. The verifier checks
// vectors to 4 bytes only, and the accessors load their elements as aligned
// 8-byte values. model must have passed the verifier.
bool wide_vectors_aligned(const Model* model);

}  // namespace bmodel::detail
