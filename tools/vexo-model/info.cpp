// info: a model file described as text or as one JSON document, both made
// from the same description; extract-kernel: the kernel module image.
#include <iomanip>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "commands.h"
#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "copy.h"
#include "model_file.h"

namespace vexo::model_tool {

namespace {

// Keeps the fields in the order they are described.
using Json = nlohmann::ordered_json;
using vexo::tool::count_text;
using vexo::tool::human_size;
template <typename T>
using TableVector = flatbuffers::Vector<flatbuffers::Offset<T>>;

uint64_t range_size(const bmodel::Binary* range) { return range ? range->size() : 0; }

Json describe_tensors(const TableVector<bmodel::Tensor>* tensors) {
  Json list = Json::array();
  if (!tensors) return list;
  for (const bmodel::Tensor* tensor : *tensors) {
    Json shape = Json::array();
    // The first shape is the one that sizes the tensor.
    if (tensor->shape() && tensor->shape()->size() > 0 && tensor->shape()->Get(0)->dim()) {
      for (uint64_t dim : *tensor->shape()->Get(0)->dim()) shape.push_back(dim);
    }
    list.push_back({{"name", tensor->name()->str()},
                    {"dtype", vexo::tool::element_type_name(tensor->data_type())},
                    {"shape", shape},
                    {"bytes", tensor->size()}});
  }
  return list;
}

Json describe_groups(const TableVector<bmodel::CmdGroup>* groups) {
  Json list = Json::array();
  if (!groups) return list;
  for (const bmodel::CmdGroup* group : *groups) {
    list.push_back({{"bdc_num", group->bdc_num()},
                    {"bdc_bytes", range_size(group->binary_bdc())},
                    {"gdma_num", group->gdma_num()},
                    {"gdma_bytes", range_size(group->binary_gdma())}});
  }
  return list;
}

Json describe_subnets(const TableVector<bmodel::SubNet>* subnets) {
  Json list = Json::array();
  if (!subnets) return list;
  for (const bmodel::SubNet* subnet : *subnets) {
    Json next = Json::array();
    if (subnet->next_subnet_ids()) {
      for (int32_t id : *subnet->next_subnet_ids()) next.push_back(id);
    }
    list.push_back({{"id", subnet->id()},
                    {"mode", subnet->subnet_mode()},
                    {"is_dynamic", subnet->is_dynamic()},
                    {"next_ids", next},
                    {"cmd_groups", describe_groups(subnet->cmd_group())}});
  }
  return list;
}

Json describe_stage(const bmodel::NetParameter& stage) {
  return {{"is_dynamic", stage.is_dynamic()},
          {"n_dynamic", stage.n_dynamic()},
          {"h_w_dynamic", stage.h_w_dynamic()},
          {"inputs", describe_tensors(stage.input_tensor())},
          {"outputs", describe_tensors(stage.output_tensor())},
          {"ctx_size", stage.ctx_size()},
          {"coeff_size", stage.coeff_mem() ? range_size(stage.coeff_mem()->binary_coeff()) : 0},
          {"ir_size", range_size(stage.binary_ir())},
          {"cmd_groups", describe_groups(stage.cmd_group())},
          {"subnets", describe_subnets(stage.sub_net())}};
}

Json describe_net(const ModelFile& file, const bmodel::Net& net) {
  const bmodel::Net& stored = file.stored_net(net);
  Json cascade;  // null without a cascade
  if (const bmodel::Cascade* c = stored.cascade()) {
    cascade = {{"device_id", c->device_id()},
               {"step", c->step()},
               {"main_name", c->main_name() ? c->main_name()->str() : ""}};
  }
  Json stages = Json::array();
  if (net.parameter()) {
    for (const bmodel::NetParameter* stage : *net.parameter()) stages.push_back(describe_stage(*stage));
  }
  return {{"name", net.name()->str()},
          {"addr_mode", stored.addr_mode()},
          {"cascade", cascade},
          {"stages", stages}};
}

template <typename Module>
Json describe_module(const Module* module) {
  if (!module) return nullptr;
  return {{"file_name", module->file_name()->str()}, {"size", module->binary()->size()}};
}

Json describe_memory(const ModelFile& file) {
  // The statistics end the process on a network without stages.
  if (!file.every_net_has_stages()) return nullptr;
  const bmodel::bmodel_mem_info_t info = file.memory_info();
  return {{"bdc_cmd_size", info.bdc_cmd_size},
          {"gdma_cmd_size", info.gdma_cmd_size},
          {"hau_cmd_size", info.hau_cmd_size},
          {"sdma_cmd_size", info.sdma_cmd_size},
          {"dynamic_ir_size", info.dynamic_ir_size},
          {"neuron_mem_size", info.neuron_mem_size},
          {"coeff_size", info.coeff_size},
          {"middle_buffer_size", info.middle_buffer_size},
          {"host_neuron_size", info.host_neuron_size},
          {"host_coeff_size", info.host_coeff_size},
          {"spare", info.spare},
          {"dynamic_output_number", info.dynamic_output_number}};
}

Json describe(const ModelFile& file) {
  const bmodel::Model& stored = file.stored();
  std::string time = stored.time()->str();
  if (!time.empty() && time.back() == '\n') time.pop_back();
  Json nets = Json::array();
  for (const bmodel::Net* net : *file.model().net()) nets.push_back(describe_net(file, *net));
  return {{"file", file.path()},
          {"chip", file.model().chip()->str()},
          {"type", stored.type()->str()},
          {"version", stored.version()->str()},
          {"time", time},
          {"device_num", stored.device_num()},
          {"bmodel_type", stored.bmodel_type()},
          {"neuron_size", file.model().neuron_size()},
          {"kernel_module", describe_module(kernel_module_of(file))},
          {"cpuop_module", describe_module(cpuop_module_of(file))},
          {"nets", nets},
          {"memory", describe_memory(file)}};
}

// A string of the description as the terminal may show it: names come from
// the file and may hold any bytes.
std::string shown(const Json& text) { return vexo::tool::printable(text.get<std::string>()); }

std::string text_list(const Json& values) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + values[i].dump();
  return text + "]";
}

std::string text_module(const Json& module) {
  if (module.is_null()) return "none";
  return shown(module["file_name"]) + ", " + human_size(module["size"]);
}

std::string text_groups(const Json& groups, const std::string& indent) {
  std::string text;
  for (size_t i = 0; i < groups.size(); ++i) {
    const Json& g = groups[i];
    text += indent + "group " + std::to_string(i) + ": bdc " + count_text(g["bdc_num"], "command") + ", " +
            human_size(g["bdc_bytes"]) + "; gdma " + count_text(g["gdma_num"], "command") + ", " +
            human_size(g["gdma_bytes"]) + "\n";
  }
  return text;
}

std::string subnet_mode_name(int32_t mode) {
  if (mode == 0) return "processor";
  if (mode == 1) return "host";
  return "mode " + std::to_string(mode);
}

void print_tensors(std::ostream& out, const char* kind, const Json& tensors) {
  for (const Json& t : tensors) {
    out << "    " << kind << " " << shown(t["name"]) << ": " << shown(t["dtype"]) << " "
        << text_list(t["shape"]) << ", " << human_size(t["bytes"]) << "\n";
  }
}

void print_stage(std::ostream& out, size_t index, const Json& stage) {
  out << "  stage " << index << ": " << (stage["is_dynamic"].get<int>() ? "dynamic" : "static")
      << " (is_dynamic " << stage["is_dynamic"] << ", n_dynamic " << stage["n_dynamic"] << ", h_w_dynamic "
      << stage["h_w_dynamic"] << ")\n";
  print_tensors(out, "input ", stage["inputs"]);
  print_tensors(out, "output", stage["outputs"]);
  out << "    context " << human_size(stage["ctx_size"]) << ", coefficients "
      << human_size(stage["coeff_size"]) << ", IR " << human_size(stage["ir_size"]) << "\n";
  out << "    " << count_text(stage["cmd_groups"].size(), "command group") << "\n"
      << text_groups(stage["cmd_groups"], "      ");
  out << "    " << count_text(stage["subnets"].size(), "subnet") << "\n";
  for (const Json& s : stage["subnets"]) {
    out << "      subnet " << s["id"] << ": " << subnet_mode_name(s["mode"]) << ", "
        << (s["is_dynamic"].get<int>() ? "dynamic" : "static") << ", next " << text_list(s["next_ids"])
        << ", " << count_text(s["cmd_groups"].size(), "command group") << "\n"
        << text_groups(s["cmd_groups"], "        ");
  }
}

void print_text(std::ostream& out, const Json& d) {
  const auto field = [&out](const char* label) -> std::ostream& {
    return out << std::left << std::setw(22) << label;
  };
  field("file") << shown(d["file"]) << "\n";
  field("chip") << shown(d["chip"]) << "\n";
  field("format") << "type " << shown(d["type"]) << ", version " << shown(d["version"]) << "\n";
  field("created") << shown(d["time"]) << "\n";
  field("devices") << d["device_num"] << "\n";
  field("model type") << d["bmodel_type"] << "\n";
  field("neuron size") << human_size(d["neuron_size"]) << "\n";
  field("kernel module") << text_module(d["kernel_module"]) << "\n";
  field("host-operator module") << text_module(d["cpuop_module"]) << "\n";
  field("nets") << d["nets"].size() << "\n";
  for (size_t n = 0; n < d["nets"].size(); ++n) {
    const Json& net = d["nets"][n];
    out << "\nnet " << n << ": " << shown(net["name"]) << " (addr_mode " << net["addr_mode"] << ", "
        << count_text(net["stages"].size(), "stage") << ")\n";
    if (!net["cascade"].is_null()) {
      const Json& c = net["cascade"];
      out << "  cascade: main " << shown(c["main_name"]) << ", device " << c["device_id"] << ", step "
          << c["step"] << "\n";
    }
    for (size_t s = 0; s < net["stages"].size(); ++s) print_stage(out, s, net["stages"][s]);
  }
  out << "\nmemory statistics\n";
  if (d["memory"].is_null()) {
    out << "  not available: a net has no stages\n";
    return;
  }
  for (const auto& [name, value] : d["memory"].items()) {
    out << "  " << std::left << std::setw(24) << name
        << (name == "dynamic_output_number" ? std::to_string(value.get<uint64_t>()) : human_size(value))
        << "\n";
  }
}

}  // namespace

void add_info_command(CLI::App& app) {
  struct Options {
    std::string file;
    std::string decrypt_lib;
    bool json = false;
  };
  auto options = std::make_shared<Options>();
  CLI::App* info =
      app.add_subcommand("info", "Describe a model file: nets, stages, tensors, sizes, statistics");
  info->add_option("FILE", options->file, "The model file")->required();
  info->add_flag("--json", options->json, "Print one JSON document instead of text");
  info->add_option("--decrypt-lib", options->decrypt_lib, "Decryption plug-in of an encrypted file");
  info->callback([options] {
    const ModelFile file(options->file, options->decrypt_lib);
    const Json description = describe(file);
    if (options->json) {
      // Bytes that are not UTF-8 (a name may hold any) become U+FFFD, as in
      // vexo-run's report, instead of making the dump throw.
      std::cout << description.dump(2, ' ', false, Json::error_handler_t::replace) << std::endl;
    } else {
      print_text(std::cout, description);
    }
    // A full disk or a closed pipe must not pass for a description.
    if (!std::cout.flush()) throw vexo::tool::Failure("cannot write to standard output");
  });
}

void add_extract_kernel_command(CLI::App& app) {
  struct Options {
    std::string file;
    std::string output;
    std::string decrypt_lib;
  };
  auto options = std::make_shared<Options>();
  CLI::App* extract =
      app.add_subcommand("extract-kernel", "Write the kernel module image a model file carries");
  extract->add_option("FILE", options->file, "The model file")->required();
  extract->add_option("-o,--output", options->output, "The file to write the image to")->required();
  extract->add_option("--decrypt-lib", options->decrypt_lib, "Decryption plug-in of an encrypted file");
  extract->callback([options] {
    vexo::tool::check_output_file(options->output);
    const ModelFile file(options->file, options->decrypt_lib);
    const bmodel::KernelModule* module = kernel_module_of(file);
    if (!module) throw vexo::tool::Failure(options->file + " carries no kernel module");
    const std::vector<uint8_t> image = file.read(*module->binary());
    vexo::tool::write_bytes(options->output, image.data(), image.size());
    print_written(options->output, "kernel module " + vexo::tool::printable(module->file_name()->str()));
  });
}

}  // namespace vexo::model_tool
