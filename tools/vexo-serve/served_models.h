// What the server is told to serve: the models given on the command line
// (the positional model, each --model NAME=PATH[,key=value...]) and those of
// a model repository, one folder per model. A model with a tokenizer is a
// language model; any other model file serves its nets over the v2
// inference protocol.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace vexo::serve {

struct ModelSpec {
  std::string name;
  std::vector<std::string> aliases;  // more names a language model answers to
  std::string path;                  // the bmodel file
  std::string tokenizer;             // "": not a language model
  std::string chat_template;         // "": the tokenizer folder's, else ChatML
  std::vector<int> devices;
  size_t queue = 0;  // requests that may wait for one of its devices
  bool language_model() const { return !tokenizer.empty(); }
};

using DeviceListParser = std::vector<int> (*)(const std::string&);

// NAME=PATH[,tokenizer=DIR][,chat_template=FILE][,devices=0,1][,queue=N];
// `defaults` gives the devices and the queue. Throws std::invalid_argument.
ModelSpec parse_model_spec(const std::string& text, const ModelSpec& defaults, DeviceListParser parse_devices);

// The repository's models, by folder name in order (hidden folders, whose
// names start with '.', skipped): each folder holds one
// .bmodel file, for a language model its tokenizer (a tokenizer/ folder, or
// tokenizer.json or tokenizer.model beside the model), and optionally
// model.conf: "key = value" lines with the keys of parse_model_spec and '#'
// comments. Throws std::invalid_argument.
std::vector<ModelSpec> read_model_repository(const std::string& folder, const ModelSpec& defaults,
                                             DeviceListParser parse_devices);

}  // namespace vexo::serve
