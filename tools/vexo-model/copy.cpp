#include "copy.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "commands.h"
#include "common/files.h"
#include "common/format.h"
#include "common/tool.h"
#include "merge.h"
#include "common/model_checks.h"

namespace vexo::model_tool {

namespace {

// Re-points the payload ranges of one file's records at the writer's
// payload. A range that several records use is read once.
class RangeCopier {
 public:
  RangeCopier(bmodel::ModelGen& gen, const ModelFile& file) : gen_(gen), file_(file) {}

  bmodel::Binary copy(const bmodel::Binary& range) {
    const auto key = std::make_pair(range.start(), range.size());
    auto known = copied_.find(key);
    if (known == copied_.end()) {
      const std::vector<uint8_t> bytes = file_.read(range);
      known = copied_.emplace(key, gen_.WriteBinary(bytes.size(), bytes.data())).first;
    }
    return known->second;
  }

  // The fields in the order of their ids, so that copying a file made by
  // the writer lays the payload out as it was.
  void copy(bmodel::NetParameterT& stage) {
    if (stage.coeff_mem) copy(stage.coeff_mem->binary_coeff);
    copy(stage.cmd_group);
    copy(stage.net_profile);
    copy(stage.binary_ir);
    for (auto& subnet : stage.sub_net) copy(*subnet);
    copy(stage.net_stat);
    copy(stage.tensor_loc);
  }

 private:
  void copy(std::unique_ptr<bmodel::Binary>& range) {
    if (range) *range = copy(*range);
  }
  void copy(std::vector<bmodel::Binary>& ranges) {
    for (bmodel::Binary& range : ranges) range = copy(range);
  }
  void copy(std::vector<std::unique_ptr<bmodel::CmdGroupT>>& groups) {
    for (auto& group : groups) {
      copy(group->binary_bdc);
      copy(group->binary_gdma);
    }
  }
  void copy(bmodel::SubNetT& subnet) {
    copy(subnet.cmd_group);
    for (auto& op : subnet.cpu_param) {
      copy(op->binary_param);
      for (auto& constant : op->cpu_const) copy(constant->const_data);
    }
    for (auto& core : subnet.core_commands) {
      copy(core->gdma_tiu_commands);
      copy(core->sdma_commands);
      copy(core->hau_commands);
      copy(core->cdma_commands);
    }
  }

  bmodel::ModelGen& gen_;
  const ModelFile& file_;
  std::map<std::pair<uint64_t, uint64_t>, bmodel::Binary> copied_;
};

// net_names holds the nets the writer has; it gains this one.
void copy_net(bmodel::ModelGen& gen, RangeCopier& ranges, std::set<std::string>& net_names,
              const ModelFile& file, const bmodel::Net& net) {
  const std::string name = net.name()->str();
  const bmodel::Net& stored = file.stored_net(net);
  // The writer takes a cascade only with the first stage of a new net.
  const bool new_net = net_names.insert(name).second;
  bool takes_cascade = new_net && stored.cascade();
  for (const bmodel::NetParameter* parameter : *net.parameter()) {
    bmodel::NetParameterT stage;
    parameter->UnPackTo(&stage);
    ranges.copy(stage);
    const auto packed = bmodel::NetParameter::Pack(gen.Builder(), &stage);
    flatbuffers::Offset<bmodel::Cascade> cascade;
    if (takes_cascade) {
      bmodel::CascadeT record;
      stored.cascade()->UnPackTo(&record);
      cascade = bmodel::Cascade::Pack(gen.Builder(), &record);
      takes_cascade = false;
    }
    gen.AddNet(name, packed, nullptr, nullptr, cascade, stored.addr_mode());
  }
}

// Adds the module's image unless an earlier file gave one; returns whether
// the writer has one now.
template <typename Module, typename Add>
bool copy_module(RangeCopier& ranges, const Module* module, bool done, Add add) {
  if (done || !module) return done;
  add(module->file_name()->str(), ranges.copy(*module->binary()));
  return true;
}

void copy_models(bmodel::ModelGen& gen, const std::vector<const ModelFile*>& files) {
  std::set<std::string> net_names;
  bool kernel_module = false;
  bool cpuop_module = false;
  uint32_t device_num = 0;
  for (const ModelFile* file : files) {
    const bmodel::Model& stored = file->stored();
    if (file == files.front()) {
      gen.AddChip(file->model().chip()->str());
      gen.AddBmodelType(stored.bmodel_type());
    }
    device_num = std::max(device_num, stored.device_num());
    RangeCopier ranges(gen, *file);
    kernel_module = copy_module(
        ranges, kernel_module_of(*file), kernel_module,
        [&gen](const std::string& name, const bmodel::Binary& range) { gen.AddKernelModule(name, range); });
    cpuop_module = copy_module(
        ranges, cpuop_module_of(*file), cpuop_module,
        [&gen](const std::string& name, const bmodel::Binary& range) { gen.AddCpuModule(name, range); });
    for (const bmodel::Net* net : *file->model().net()) copy_net(gen, ranges, net_names, *file, *net);
  }
  gen.AddNumDevice(static_cast<int>(device_num));
}

// SaveEncrypt ends the process when the cipher fails (for the project's
// plug-in: without VEXO_CIPHER_KEY); a trial first gives a clear message.
void check_cipher(bmodel::ModelGen& gen, const std::string& encrypt_lib) {
  const uint8_t probe[] = {0};
  uint64_t size = 0;
  const std::unique_ptr<uint8_t, bmodel::FreeDeleter> enciphered(gen.Encrypt(probe, sizeof(probe), &size));
  if (!enciphered) {
    throw vexo::tool::Failure("the encryption plug-in " + encrypt_lib +
                              " cannot encrypt: " + vexo::tool::cipher_hint("it refused to encrypt one byte"));
  }
}

}  // namespace

void save_models(const std::vector<const ModelFile*>& files, const std::string& output,
                 const std::string& encrypt_lib) {
  const MergeCounts counts = check_merge(files);
  // The writer ends the process on a plug-in that it cannot load.
  if (!encrypt_lib.empty()) vexo::tool::check_plugin(encrypt_lib, true);
  bmodel::ModelGen gen(0, encrypt_lib);
  if (!encrypt_lib.empty()) check_cipher(gen, encrypt_lib);
  copy_models(gen, files);
  gen.Finish();
  if (encrypt_lib.empty()) {
    gen.Save(output);
  } else {
    gen.SaveEncrypt(output);
  }
  print_written(
      output,
      vexo::tool::count_text(counts.nets, "net") + ", " + vexo::tool::count_text(counts.stages, "stage"),
      encrypt_lib.empty() ? "" : ", encrypted");
}

void print_written(const std::string& output, const std::string& contents, const std::string& note) {
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(output, error);
  if (error) throw vexo::tool::Failure("cannot read back the size of " + output + ": " + error.message());
  std::cout << "wrote " << output << ": " << contents << ", " << vexo::tool::human_size(size) << note
            << std::endl;
}

void add_combine_command(CLI::App& app) {
  struct Options {
    std::string output;
    std::vector<std::string> inputs;
  };
  auto options = std::make_shared<Options>();
  CLI::App* combine = app.add_subcommand("combine", "Merge models into one file");
  combine->add_option("-o,--output", options->output, "The combined model file")->required();
  combine->add_option("IN", options->inputs, "The model files to merge, in order")->required();
  combine->callback([options] {
    vexo::tool::check_output_file(options->output);
    std::vector<std::unique_ptr<ModelFile>> files;
    std::vector<const ModelFile*> order;
    for (const std::string& path : options->inputs) {
      files.push_back(std::make_unique<ModelFile>(path));
      const ModelFile& first = *files.front();
      const std::string chip = files.back()->model().chip()->str();
      if (chip != first.model().chip()->str()) {
        throw vexo::tool::Failure("cannot combine models of different chips: " + first.path() + " is for " +
                                  first.model().chip()->str() + ", " + path + " is for " + chip);
      }
      order.push_back(files.back().get());
    }
    save_models(order, options->output);
  });
}

}  // namespace vexo::model_tool
