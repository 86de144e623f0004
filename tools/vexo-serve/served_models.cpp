#include "served_models.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vexo::serve {

namespace fs = std::filesystem;

namespace {

const char* const kKeys[] = {"tokenizer", "chat_template", "devices", "queue"};
constexpr size_t kMaxQueue = 4096;

void check_name(const std::string& name, const std::string& where) {
  if (name.empty() || name.find('/') != std::string::npos)
    throw std::invalid_argument("bad model " + where + ": a model's name is not empty and holds no '/'");
}

// One option of a model; `base` is the folder relative paths start from
// ("" for the command line's, which start from the working folder).
void apply(ModelSpec& spec, const std::string& key, const std::string& value, const fs::path& base,
           DeviceListParser parse_devices, const std::string& where) {
  const auto path = [&] { return base.empty() ? value : (base / value).string(); };
  // An empty tokenizer would quietly make a language model a general one.
  if (value.empty()) throw std::invalid_argument("bad model " + where + ": '" + key + "' has no value");
  if (key == "tokenizer") {
    spec.tokenizer = path();
  } else if (key == "chat_template") {
    spec.chat_template = path();
  } else if (key == "devices") {
    try {
      spec.devices = parse_devices(value);
    } catch (const std::exception& error) {
      throw std::invalid_argument("bad model " + where + ": " + error.what());
    }
  } else if (key == "queue") {
    size_t queue = 0;
    const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), queue);
    if (value.empty() || error != std::errc() || end != value.data() + value.size() || queue > kMaxQueue)
      throw std::invalid_argument("bad model " + where + ": the queue is a number from 0 to 4096");
    spec.queue = queue;
  } else {
    throw std::invalid_argument("bad model " + where + ": no option '" + key +
                                "' (there are tokenizer, chat_template, devices and queue)");
  }
}

std::string trimmed(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t\r") + 1 - begin);
}

// Where the next ",KEY=" of a known key starts in `text`, from `from`.
size_t next_option(const std::string& text, size_t from) {
  size_t first = std::string::npos;
  for (const char* key : kKeys) first = std::min(first, text.find("," + std::string(key) + "=", from));
  return first;
}

}  // namespace

ModelSpec parse_model_spec(const std::string& text, const ModelSpec& defaults, DeviceListParser parse_devices) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size())
    throw std::invalid_argument("bad model " + text + ": give NAME=PATH[,tokenizer=DIR][,devices=0,1]");
  ModelSpec spec = defaults;
  spec.name = text.substr(0, equals);
  check_name(spec.name, text);
  // The path runs to the first known option, so that it may hold commas.
  const std::string rest = text.substr(equals + 1);
  size_t at = next_option(rest, 0);
  spec.path = rest.substr(0, at);
  while (at != std::string::npos) {
    const size_t key_end = rest.find('=', at);
    const size_t end = next_option(rest, key_end);
    const std::string value = rest.substr(key_end + 1, end == std::string::npos ? std::string::npos : end - key_end - 1);
    apply(spec, rest.substr(at + 1, key_end - at - 1), value, "", parse_devices, text);
    at = end;
  }
  if (spec.path.empty()) throw std::invalid_argument("bad model " + text + ": no model file");
  return spec;
}

std::vector<ModelSpec> read_model_repository(const std::string& folder, const ModelSpec& defaults,
                                             DeviceListParser parse_devices) {
  std::error_code error;
  if (!fs::is_directory(folder, error)) throw std::invalid_argument("the model repository " + folder + " is no folder");
  std::vector<fs::path> entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    // Hidden folders are the file system's or a tool's (a mounted volume's ..data).
    if (entry.is_directory(error) && entry.path().filename().string()[0] != '.') entries.push_back(entry.path());
  }
  if (error) throw std::invalid_argument("cannot read the model repository " + folder + ": " + error.message());
  std::sort(entries.begin(), entries.end());

  std::vector<ModelSpec> specs;
  for (const fs::path& model : entries) {
    ModelSpec spec = defaults;
    spec.name = model.filename().string();
    const std::string where = model.string();
    for (const fs::directory_entry& entry : fs::directory_iterator(model, error)) {
      if (entry.path().extension() != ".bmodel") continue;
      if (!spec.path.empty()) throw std::invalid_argument("bad model " + where + ": it holds two .bmodel files");
      spec.path = entry.path().string();
    }
    if (spec.path.empty()) throw std::invalid_argument("bad model " + where + ": it holds no .bmodel file");
    if (fs::is_directory(model / "tokenizer", error)) {
      spec.tokenizer = (model / "tokenizer").string();
    } else if (fs::exists(model / "tokenizer.json", error) || fs::exists(model / "tokenizer.model", error)) {
      spec.tokenizer = model.string();
    }
    if (std::ifstream config(model / "model.conf"); config) {
      size_t number = 0;
      for (std::string line; std::getline(config, line);) {
        ++number;
        line = trimmed(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        const size_t equals = line.find('=');
        const std::string at = where + "/model.conf line " + std::to_string(number);
        if (equals == std::string::npos) throw std::invalid_argument("bad model " + at + ": give key = value");
        apply(spec, trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1)), model, parse_devices, at);
      }
    }
    specs.push_back(std::move(spec));
  }
  if (specs.empty()) throw std::invalid_argument("the model repository " + folder + " holds no model folder");
  return specs;
}

}  // namespace vexo::serve
