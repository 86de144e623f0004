#include "v2_routes.h"

#include <httplib.h>

#include <charconv>
#include <functional>
#include <map>
#include <optional>

#include "intake.h"
#include "language_models.h"
#include "metrics.h"
#include "requests.h"
#include "scheduler.h"
#include "utils/version.h"
#include "v2_models.h"
#include "v2_tensors.h"
#include "vexo.h"

namespace vexo::serve {

using nlohmann::json;

namespace {

const char kVersion[] = "1";  // every model has this one version
const char kHeaderLength[] = "Inference-Header-Content-Length";
// /v2/models/NAME or /v2/models/NAME/versions/VERSION, then the rest.
const char kModelPath[] = R"(/v2/models/([^/]+)(?:/versions/([^/]+))?)";

void send(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(body.dump(-1, ' ', false, json::error_handler_t::replace), "application/json");
}

[[noreturn]] void fail(int status, const std::string& message) { throw ApiError(status, "", message); }

std::string type_name(int dtype) {
  const std::string name = v2_datatype(dtype);
  if (!name.empty()) return name;
  return dtype == BM_INT4 ? "INT4" : dtype == BM_UINT4 ? "UINT4" : "UNKNOWN";
}

// A tensor's shape over every stage: -1 where the stages differ.
json merged_shape(const std::vector<V2Stage>& stages, bool inputs, size_t index) {
  const auto& first = (inputs ? stages[0].inputs : stages[0].outputs)[index].shape;
  std::vector<int64_t> shape = first;
  for (const V2Stage& stage : stages) {
    const auto& tensors = inputs ? stage.inputs : stage.outputs;
    const std::vector<int64_t>* other = index < tensors.size() ? &tensors[index].shape : nullptr;
    for (size_t d = 0; d < shape.size(); ++d) {
      if (!other || other->size() != shape.size() || (*other)[d] != shape[d]) shape[d] = -1;
    }
  }
  return shape;
}

json tensor_list(const V2Model& model, bool inputs) {
  json list = json::array();
  const auto& tensors = inputs ? model.stages[0].inputs : model.stages[0].outputs;
  for (size_t i = 0; i < tensors.size(); ++i) {
    list.push_back({{"name", tensors[i].name},
                    {"datatype", type_name(tensors[i].dtype)},
                    {"shape", merged_shape(model.stages, inputs, i)}});
  }
  return list;
}

std::string shape_text(const std::vector<int64_t>& shape) { return json(shape).dump(); }

// The stages' input shapes, for a request that fits none.
std::string stage_shapes(const V2Model& model) {
  std::string text;
  for (size_t s = 0; s < model.stages.size(); ++s) {
    text += (s ? "; " : "") + std::string("stage ") + std::to_string(s) + ":";
    for (const V2Tensor& input : model.stages[s].inputs) text += " " + input.name + " " + shape_text(input.shape);
  }
  return text;
}

// An input of a request: its description and where its data is.
struct GivenInput {
  std::string name;
  std::vector<int64_t> shape;
  std::string datatype;
  const json* data = nullptr;
  std::optional<std::string> raw;  // the binary data extension's bytes
};

const json& member(const json& object, const char* name, const std::string& where) {
  const auto it = object.find(name);
  if (it == object.end()) fail(400, where + " has no '" + name + "'");
  return *it;
}

std::optional<bool> flag(const json& object, const char* name) {
  const auto parameters = object.find("parameters");
  if (parameters == object.end() || !parameters->is_object()) return std::nullopt;
  const auto it = parameters->find(name);
  if (it == parameters->end()) return std::nullopt;
  if (!it->is_boolean()) fail(400, std::string("'parameters.") + name + "' must be true or false");
  return it->get<bool>();
}

std::vector<GivenInput> read_inputs(const json& head, const std::string& binary) {
  const json& inputs = member(head, "inputs", "the request");
  if (!inputs.is_array() || inputs.empty()) fail(400, "'inputs' must be a non-empty array");
  std::vector<GivenInput> given;
  size_t offset = 0;
  for (const json& input : inputs) {
    if (!input.is_object()) fail(400, "every input must be an object");
    GivenInput one;
    const json& name = member(input, "name", "an input");
    if (!name.is_string()) fail(400, "an input's 'name' must be a string");
    one.name = name.get<std::string>();
    for (const GivenInput& other : given) {
      if (other.name == one.name) fail(400, "input '" + one.name + "' is given twice");
    }
    const json& shape = member(input, "shape", "input '" + one.name + "'");
    if (!shape.is_array()) fail(400, "input '" + one.name + "': 'shape' must be an array of sizes");
    for (const json& dim : shape) {
      if (!dim.is_number_integer() || dim.get<int64_t>() < 0)
        fail(400, "input '" + one.name + "': 'shape' must be an array of sizes");
      one.shape.push_back(dim.get<int64_t>());
    }
    const json& datatype = member(input, "datatype", "input '" + one.name + "'");
    if (!datatype.is_string() || v2_element_size(datatype.get<std::string>()) == 0)
      fail(400, "input '" + one.name + "': unknown datatype " + datatype.dump());
    one.datatype = datatype.get<std::string>();
    const auto parameters = input.find("parameters");
    const json* size = parameters != input.end() && parameters->is_object() && parameters->contains("binary_data_size")
                           ? &(*parameters)["binary_data_size"]
                           : nullptr;
    if (size) {
      if (!size->is_number_unsigned() || size->get<uint64_t>() > binary.size() - offset)
        fail(400, "input '" + one.name + "': 'binary_data_size' is not a size within the binary data");
      one.raw = binary.substr(offset, size->get<uint64_t>());
      offset += size->get<uint64_t>();
    } else {
      one.data = &member(input, "data", "input '" + one.name + "'");
    }
    given.push_back(std::move(one));
  }
  if (offset != binary.size())
    fail(400, std::to_string(binary.size() - offset) + " bytes of binary data belong to no input");
  return given;
}

// The stage whose inputs the request gives, by name and shape.
size_t choose_stage(const V2Model& model, const std::vector<GivenInput>& given) {
  for (size_t s = 0; s < model.stages.size(); ++s) {
    const std::vector<V2Tensor>& inputs = model.stages[s].inputs;
    if (inputs.size() != given.size()) continue;
    const bool fits = std::all_of(inputs.begin(), inputs.end(), [&](const V2Tensor& input) {
      return std::any_of(given.begin(), given.end(),
                         [&](const GivenInput& g) { return g.name == input.name && g.shape == input.shape; });
    });
    if (fits) return s;
  }
  std::string text;
  for (const GivenInput& g : given) text += (text.empty() ? "" : ", ") + g.name + " " + shape_text(g.shape);
  fail(400, "model '" + model.name + "' takes no inputs " + text + "; it takes " + stage_shapes(model));
}

}  // namespace

void V2Service::install(HttpServer& server) {
  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  const auto route = [this](const char* endpoint, Handler body, bool key = true) {
    return [this, endpoint, key, body = std::move(body)](const httplib::Request& req, httplib::Response& res) {
      try {
        if (key) authorize_(req);
        body(req, res);
      } catch (const ApiError& error) {
        send(res, error.status, {{"error", error.what()}});
      } catch (const QueueFull& error) {
        send(res, 429, {{"error", error.what()}});
      } catch (const Unavailable& error) {
        send(res, 503, {{"error", error.what()}});
      } catch (const std::exception& error) {
        send(res, 500, {{"error", error.what()}});
      }
      metrics_.count_request(served_model(req), endpoint, res.status);
    };
  };
  // The model a path names, at the one version there is; 404 otherwise.
  const auto model_named = [this](const httplib::Request& req) -> std::pair<const V2Model*, std::string> {
    const std::string name = req.matches[1];
    if (req.matches[2].matched && req.matches[2] != kVersion)
      fail(404, "model '" + name + "' has no version '" + std::string(req.matches[2]) + "'");
    if (!ready_) fail(503, "the models are still loading; try again shortly");
    const V2Model* model = models_.find(name);
    if (!model && !language_models_.find(name)) fail(404, "no model '" + name + "'");
    return {model, name};
  };

  server.Get("/v2", route("/v2", [](const auto&, auto& res) {
    send(res, 200, {{"name", "vexo-serve"}, {"version", VEXO_VERSION}, {"extensions", {"binary_tensor_data"}}});
  }));
  // Probes need no key.
  const auto live = [](const auto&, auto& res) { send(res, 200, {{"live", true}}); };
  const auto readiness = [this](const auto&, auto& res) { send(res, ready_ ? 200 : 503, {{"ready", ready_.load()}}); };
  server.Get("/v2/health/live", route("/v2/health", live, false));
  server.Get("/v2/health/ready", route("/v2/health", readiness, false));
  server.Get(kModelPath, route("/v2/models", [model_named](const auto& req, auto& res) {
    const auto [model, name] = model_named(req);
    if (!model) {
      const json text = {{"name", "text_input"}, {"datatype", "BYTES"}, {"shape", {1}}};
      send(res, 200, {{"name", name}, {"versions", {kVersion}}, {"platform", "vexo_language_model"},
                      {"inputs", {text}}, {"outputs", {{{"name", "text_output"}, {"datatype", "BYTES"}, {"shape", {-1}}}}}});
      return;
    }
    send(res, 200, {{"name", name}, {"versions", {kVersion}}, {"platform", "vexo_bmodel"},
                    {"inputs", tensor_list(*model, true)}, {"outputs", tensor_list(*model, false)}});
  }));
  server.Get(std::string(kModelPath) + "/ready", route("/v2/models", [model_named](const auto& req, auto& res) {
    send(res, 200, {{"name", model_named(req).second}, {"ready", true}});
  }));
  // The model repository's index: every model served, general nets and
  // language models, all at the one version (loading and unloading are not
  // offered: the models are those the server started with).
  server.Post("/v2/repository/index", route("/v2/repository", [this](const auto&, auto& res) {
    if (!ready_) fail(503, "the models are still loading; try again shortly");
    json index = json::array();
    for (const auto& model : language_models_.all()) index.push_back(model->name());
    for (const auto& model : models_.models()) index.push_back(model->name);
    for (json& entry : index) entry = {{"name", entry}, {"version", kVersion}, {"state", "READY"}};
    send(res, 200, index);
  }));
  server.Post(std::string(kModelPath) + "/infer", route("/v2/infer", [this, model_named](const auto& req, auto& res) {
    const auto [model, name] = model_named(req);
    if (!model)
      fail(400, "model '" + name + "' is a language model: use /v1/completions or /v1/chat/completions");
    infer(req, res, *model);
  }));
}

std::string V2Service::served_model(const httplib::Request& req) const {
  if (!ready_ || req.matches.size() < 2 || !req.matches[1].matched) return "";
  const std::string name = req.matches[1];
  if (models_.find(name)) return name;
  const LanguageModel* language_model = language_models_.find(name);
  return language_model ? language_model->name() : "";
}

void V2Service::infer(const httplib::Request& req, httplib::Response& res, const V2Model& model) {
  // The binary extension: the JSON head, then the tensors' raw bytes.
  size_t head_length = req.body.size();
  if (req.has_header(kHeaderLength)) {
    const std::string text = req.get_header_value(kHeaderLength);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), head_length);
    if (error != std::errc() || end != text.data() + text.size() || head_length > req.body.size())
      fail(400, std::string("'") + kHeaderLength + "' must be the length of the JSON head within the body");
  }
  const json head = parse_object(req.body.substr(0, head_length));
  const std::string binary = req.body.substr(head_length);
  const std::vector<GivenInput> given = read_inputs(head, binary);
  const size_t stage = choose_stage(model, given);

  const V2Stage& description = model.stages[stage];
  std::vector<std::vector<uint8_t>> inputs;
  for (const V2Tensor& input : description.inputs) {
    const GivenInput& g = *std::find_if(given.begin(), given.end(), [&](const GivenInput& g) { return g.name == input.name; });
    inputs.push_back(v2_input_bytes(g.name, g.datatype, input.dtype, v2_elements(g.shape), g.data,
                                    g.raw ? &*g.raw : nullptr));
  }

  // The outputs asked for (all by default), each as JSON or binary.
  const bool all_binary = flag(head, "binary_data_output").value_or(false);
  std::vector<std::pair<size_t, bool>> wanted;
  if (const auto outputs = head.find("outputs"); outputs != head.end()) {
    if (!outputs->is_array()) fail(400, "'outputs' must be an array");
    for (const json& output : *outputs) {
      if (!output.is_object() || !output.contains("name") || !output["name"].is_string())
        fail(400, "every output must be an object with a 'name'");
      const std::string name = output["name"];
      const auto it = std::find_if(description.outputs.begin(), description.outputs.end(),
                                   [&](const V2Tensor& t) { return t.name == name; });
      if (it == description.outputs.end()) fail(400, "model '" + model.name + "' has no output '" + name + "'");
      wanted.emplace_back(it - description.outputs.begin(), flag(output, "binary_data").value_or(all_binary));
    }
  } else {
    for (size_t i = 0; i < description.outputs.size(); ++i) wanted.emplace_back(i, all_binary);
  }

  const std::vector<std::vector<uint8_t>> outputs = models_.run(model, stage, inputs);
  json answer = {{"model_name", model.name}, {"model_version", kVersion}, {"outputs", json::array()}};
  if (const auto id = head.find("id"); id != head.end() && id->is_string()) answer["id"] = *id;
  std::string tail;
  for (const auto& [index, binary_output] : wanted) {
    const V2Tensor& tensor = description.outputs[index];
    json item = {{"name", tensor.name}, {"datatype", type_name(tensor.dtype)}, {"shape", tensor.shape}};
    if (binary_output) {
      item["parameters"] = {{"binary_data_size", outputs[index].size()}};
      tail.append(outputs[index].begin(), outputs[index].end());
    } else {
      item["data"] = v2_output_data(tensor.dtype, outputs[index].data(), outputs[index].size());
    }
    answer["outputs"].push_back(std::move(item));
  }
  if (tail.empty() && std::none_of(wanted.begin(), wanted.end(), [](const auto& w) { return w.second; })) {
    send(res, 200, answer);
    return;
  }
  const std::string text = answer.dump(-1, ' ', false, json::error_handler_t::replace);
  res.status = 200;
  res.set_header(kHeaderLength, std::to_string(text.size()));
  res.set_content(text + tail, "application/octet-stream");
}

}  // namespace vexo::serve
