// Tensors of the v2 inference protocol: the datatype names of the element
// types, request data (JSON, flat or nested, or raw little-endian bytes)
// turned into the bytes a model's input takes, and output bytes turned
// back into JSON data.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vexo::serve {

// The protocol's name of an element type ("FP32", "INT8", ...); "" for the
// types the protocol has no name for (the 4-bit ones).
std::string v2_datatype(int dtype);
// Bytes per element of a datatype the protocol names; 0 for any other text.
size_t v2_element_size(const std::string& datatype);

// The elements of a shape, or -1 when a dimension is negative or the count
// overflows.
int64_t v2_elements(const std::vector<int64_t>& shape);

// An input's data as the model's element type `dtype`, from JSON data or
// raw bytes given as `datatype`: the same type, or FP32 for an FP16 or BF16
// input (rounded as the library rounds). Throws ApiError (400) for a
// mismatch of type or count, or a value the type cannot hold.
std::vector<uint8_t> v2_input_bytes(const std::string& name, const std::string& datatype, int dtype,
                                    int64_t elements, const nlohmann::json* data, const std::string* raw);

// Output bytes of element type `dtype` as flat JSON data: FP16 and BF16
// values as numbers.
nlohmann::json v2_output_data(int dtype, const uint8_t* bytes, size_t size);

}  // namespace vexo::serve
