#include "samples.h"

#include <algorithm>

#include "utils/datagen.h"

namespace vexo::samples {

namespace {

// Compiled addresses: coefficients lowest, then the io region of io-alone
// nets, then the activation region shared by every net.
constexpr uint64_t kCoeffAddr = 0x1000;
constexpr uint64_t kIoAddr = 0x10000;
constexpr uint64_t kCtxAddr = 0x100000;

TensorSpec tensor(const std::string& name, uint32_t dtype, std::vector<uint64_t> shape, uint64_t addr) {
  TensorSpec t;
  t.name = name;
  t.dtype = dtype;
  t.shape = std::move(shape);
  t.addr = addr;
  return t;
}

// Hands out consecutive 64-byte aligned places in a region.
class Layout {
 public:
  explicit Layout(uint64_t base) : base_(base) {}
  uint64_t place(uint64_t size) {
    const uint64_t at = base_ + used_;
    used_ += (size + 63) / 64 * 64;
    return at;
  }
  uint64_t used() const { return used_; }

 private:
  uint64_t base_;
  uint64_t used_ = 0;
};

StageSpec embed_stage(uint32_t n) {
  StageSpec s;
  const uint64_t ids = kCtxAddr, rows = kCtxAddr + 0x100, valid = kCtxAddr + 0x200;
  s.inputs = {tensor("ids", BM_INT32, {n}, ids)};
  s.outputs = {tensor("rows", BM_FLOAT16, {n, 4}, rows), tensor("valid", BM_INT32, {n}, valid)};
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {0x100, 0x200};
  s.coeff_addr = kCoeffAddr;
  for (uint32_t id = 0; id < kEmbedVocab; ++id) {
    const Bytes row = embed_row(id);
    s.coeff.insert(s.coeff.end(), row.begin(), row.end());
  }
  s.groups = {GroupSpec{{Bdc{}}, {gdma_gather(kCoeffAddr, ids, rows, n, kEmbedRowBytes, kEmbedVocab),
                                  gdma_fill(1, valid, n, 4)}}};
  return s;
}

// Both stages share one coefficient image, the index tables {3,2,1,0} and
// {1,0}, each stage compiled with the image at a different address.
StageSpec reverse_stage(uint32_t n, uint64_t coeff_addr, uint64_t table_offset) {
  StageSpec s;
  const uint64_t in = kIoAddr, out = kIoAddr + 0x40;
  s.inputs = {tensor("rows", BM_FLOAT16, {n, 4}, in)};
  s.outputs = {tensor("reversed", BM_FLOAT16, {n, 4}, out)};
  s.io_addr = kIoAddr;
  s.io_size = 0x80;
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {0x40};
  s.coeff_addr = coeff_addr;
  s.coeff = bytes_of(std::vector<int32_t>{3, 2, 1, 0, 1, 0});
  // Two command groups, each moving half of the rows.
  const uint64_t table = coeff_addr + table_offset;
  const uint32_t half = n / 2;
  s.groups = {GroupSpec{{Bdc{}}, {gdma_scatter(in, table, out, half, kEmbedRowBytes, n)}},
              GroupSpec{{Bdc{true, 0, 0}, Bdc{true, 2, 4}},
                        {gdma_scatter(in + half * kEmbedRowBytes, table + half * 4, out, n - half,
                                      kEmbedRowBytes, n)}}};
  return s;
}

StageSpec pad_stage() {
  StageSpec s;
  s.inputs = {tensor("data", BM_UINT8, {4}, kCtxAddr)};
  s.outputs = {tensor("padded", BM_UINT8, {8}, kCtxAddr + 0x10)};
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {0x20};
  s.coeff_addr = kCoeffAddr;
  s.groups = {GroupSpec{{Bdc{}}, {gdma_copy(kCtxAddr, kCtxAddr + 0x10, 1, 4), gdma_fill(0xEEEEEEEE, kCtxAddr + 0x14, 1, 4)}}};
  return s;
}

// The score of a token that is not the best: below the best by 0 to 6, in
// an order that differs per hidden value, the same for tokens (and hidden
// values) a multiple of `period` apart. (Unsigned arithmetic wraps at 2^32,
// a multiple of any period that divides the sample's.)
float other_logit(uint32_t hidden, uint32_t token, uint32_t period) {
  return -6.0f * static_cast<float>((37u * token + 11u * hidden) % period) / static_cast<float>(period);
}

// The coefficients and commands of a net.
struct Program {
  Bytes coeff;
  std::vector<Gdma> commands;
};

// The logits head of a vocabulary above kLlmLogitsPeriod: per hidden value h
// a table gives the row (h's class of the period) and the best token; the
// device gathers the class's row of kLlmLogitsPeriod scores, doubles it
// until it covers the vocabulary, then writes the best score over the best
// token. `scratch`: 8 bytes of the activation region.
Program periodic_logits_head(uint32_t v, uint64_t head_in, uint64_t head_out, uint64_t scratch) {
  constexpr uint32_t p = kLlmLogitsPeriod;
  std::vector<float> rows(size_t{p} * p);
  for (uint32_t r = 0; r < p; ++r) {
    for (uint32_t t = 0; t < p; ++t) rows[size_t{r} * p + t] = other_logit(r, t, p);
  }
  std::vector<int32_t> per_hidden(size_t{v} * 2);  // {class row, best token} per hidden value
  for (uint32_t h = 0; h < v; ++h) {
    per_hidden[size_t{h} * 2] = static_cast<int32_t>(h % p);
    per_hidden[size_t{h} * 2 + 1] = llm_next(static_cast<int32_t>(h), v);
  }
  Layout coeff(kCoeffAddr);
  const uint64_t rows_at = coeff.place(rows.size() * 4), per_hidden_at = coeff.place(per_hidden.size() * 4);
  const uint64_t best_at = coeff.place(4);
  Program head;
  head.coeff = bytes_of(rows);
  head.coeff.resize(per_hidden_at - kCoeffAddr);
  const Bytes table = bytes_of(per_hidden), best = bytes_of(std::vector<float>{kLlmBestLogit});
  head.coeff.insert(head.coeff.end(), table.begin(), table.end());
  head.coeff.resize(best_at - kCoeffAddr);
  head.coeff.insert(head.coeff.end(), best.begin(), best.end());
  head.commands = {gdma_gather(per_hidden_at, head_in, scratch, 1, 8, v), gdma_gather(rows_at, scratch, head_out, 1, 4 * p, p)};
  for (uint32_t filled = p; filled < v; filled *= 2) {
    head.commands.push_back(gdma_copy(head_out, head_out + 4 * filled, 1, 4 * std::min(filled, v - filled)));
  }
  head.commands.push_back(gdma_scatter(best_at, scratch + 4, head_out, 1, 4, v));
  return head;
}

}  // namespace

std::vector<uint8_t> embed_row(uint32_t id) {
  std::vector<uint16_t> halves(4);
  for (uint16_t k = 0; k < 4; ++k) halves[k] = static_cast<uint16_t>(0x4000 + (id << 4) + k);
  return bytes_of(halves);
}

ModelSpec general_sample() {
  ModelSpec model;
  model.nets.push_back(NetSpec{"embed", 0, {embed_stage(1), embed_stage(4)}});
  model.nets.push_back(NetSpec{"reverse", 1, {reverse_stage(4, 0x2000, 0), reverse_stage(2, 0x3000, 16)}});
  model.nets.push_back(NetSpec{"pad", 0, {pad_stage()}});
  return model;
}

std::string wide_input_name(size_t index) {
  return index == 0 ? "wide_input_" + std::string(189, 'x') : "in_" + std::to_string(index);
}

ModelSpec wide_sample() {
  StageSpec s;
  Layout ctx(kCtxAddr);
  GroupSpec group;
  const uint64_t gathered = ctx.place(kWideInputs);
  for (size_t i = 0; i < kWideInputs; ++i) {
    const uint64_t addr = ctx.place(1);
    s.inputs.push_back(tensor(wide_input_name(i), BM_UINT8, {1}, addr));
    group.gdma.push_back(gdma_copy(addr, gathered + i, 1, 1));
  }
  s.outputs = {tensor("gathered", BM_UINT8, {1, 1, 1, 1, 1, 1, 1, 2, kWideInputs / 2}, gathered)};
  s.ctx_addr = kCtxAddr;
  s.ctx_sizes = {ctx.used()};
  s.coeff_addr = kCoeffAddr;
  s.groups = {group};
  ModelSpec model;
  model.nets.push_back(NetSpec{"wide", 0, {s}});
  return model;
}

int32_t llm_embed(int32_t token, uint32_t vocab) { return static_cast<int32_t>((7u * token + 3u) % vocab); }
int32_t llm_next(int32_t hidden, uint32_t vocab) { return static_cast<int32_t>((5u * hidden + 1u) % vocab); }

float llm_logit(int32_t hidden, int32_t token, uint32_t vocab) {
  if (token == llm_next(hidden, vocab)) return kLlmBestLogit;
  return other_logit(static_cast<uint32_t>(hidden), static_cast<uint32_t>(token), std::min(vocab, kLlmLogitsPeriod));
}

std::vector<int32_t> llm_expected_tokens(const std::vector<int32_t>& prompt, size_t count,
                                         const LlmOptions& options) {
  std::vector<int32_t> tokens = prompt;
  while (tokens.size() < count) {
    const int64_t source = std::max<int64_t>(static_cast<int64_t>(tokens.size()) - 1 - options.layers, 0);
    tokens.push_back(llm_next(llm_embed(tokens[source], options.vocab), options.vocab));
  }
  return tokens;
}

ModelSpec llm_sample(const LlmOptions& options) {
  const uint32_t s = options.seq_len, v = options.vocab;
  constexpr uint32_t kRow = 4;  // one hidden row: two half-precision values
  std::vector<int32_t> embed_table(v), next_table(v), prev_table(s);
  for (uint32_t t = 0; t < v; ++t) {
    embed_table[t] = llm_embed(static_cast<int32_t>(t), v);
    next_table[t] = llm_next(static_cast<int32_t>(t), v);
  }
  for (uint32_t p = 0; p < s; ++p) prev_table[p] = p == 0 ? 0 : static_cast<int32_t>(p - 1);

  // Every net but the cached blocks lays its tensors out in the shared
  // activation region; the block nets all use the same places, so that the
  // positions and mask written for layer 0 serve every layer.
  Layout ctx(kCtxAddr);
  const uint64_t ids = ctx.place(s * 4), hidden = ctx.place(s * kRow);
  const uint64_t block_in = ctx.place(s * kRow), positions = ctx.place(s * 4), mask = ctx.place(s * s * 2);
  const uint64_t block_out = ctx.place(s * kRow), cache1 = ctx.place(s * kRow), cache2 = ctx.place(s * kRow);
  const uint64_t token_in = ctx.place(4), token_hidden = ctx.place(kRow);
  const uint64_t head_in = ctx.place(kRow), head_out = ctx.place(options.logits_head ? 4 * v : 4);
  const uint64_t greedy_in = ctx.place(kRow), greedy_out = ctx.place(4), scratch = ctx.place(8);
  const std::vector<uint64_t> ctx_sizes{ctx.used()};

  const auto stage = [&](std::vector<TensorSpec> inputs, std::vector<TensorSpec> outputs, Bytes coeff,
                         std::vector<Gdma> commands) {
    StageSpec st;
    st.inputs = std::move(inputs);
    st.outputs = std::move(outputs);
    st.ctx_addr = kCtxAddr;
    st.ctx_sizes = ctx_sizes;
    st.coeff_addr = kCoeffAddr;
    st.coeff = std::move(coeff);
    st.groups = {GroupSpec{{Bdc{}}, std::move(commands)}};
    return st;
  };
  const Bytes embed_coeff = bytes_of(embed_table), next_coeff = bytes_of(next_table);

  ModelSpec model;
  model.nets.push_back(NetSpec{"embedding", 0,
                               {stage({tensor("input_ids", BM_INT32, {1, s}, ids)},
                                      {tensor("hidden", BM_FLOAT16, {1, s, 2}, hidden)}, embed_coeff,
                                      {gdma_gather(kCoeffAddr, ids, hidden, s, kRow, v)})}});
  for (uint32_t layer = 0; layer < options.layers; ++layer) {
    model.nets.push_back(NetSpec{
        "block_" + std::to_string(layer), 0,
        {stage({tensor("hidden", BM_FLOAT16, {1, s, 2}, block_in), tensor("position_ids", BM_INT32, {1, s}, positions),
                tensor("attention_mask", BM_FLOAT16, {1, 1, s, s}, mask)},
               {tensor("hidden_out", BM_FLOAT16, {1, s, 2}, block_out), tensor("cache1", BM_FLOAT16, {1, s, 1, 2}, cache1),
                tensor("cache2", BM_FLOAT16, {1, s, 1, 2}, cache2)},
               {},
               {gdma_copy(block_in, block_out + kRow, s - 1, kRow), gdma_copy(block_in, block_out, 1, kRow),
                gdma_copy(block_in, cache1, s, kRow), gdma_copy(block_in, cache2, s, kRow)})}});
  }
  model.nets.push_back(NetSpec{"embedding_cache", 0,
                               {stage({tensor("input_id", BM_INT32, {1, 1}, token_in)},
                                      {tensor("hidden", BM_FLOAT16, {1, 1, 2}, token_hidden)}, embed_coeff,
                                      {gdma_gather(kCoeffAddr, token_in, token_hidden, 1, kRow, v)})}});
  for (uint32_t layer = 0; layer < options.layers; ++layer) {
    // The caches live in the net's own io area, so they persist between
    // passes whatever other nets do with the activation region.
    Layout io(kIoAddr);
    const uint64_t in = io.place(kRow), pos = io.place(4), m = io.place((s + 1) * 2);
    const uint64_t k_cache = io.place(s * kRow), v_cache = io.place(s * kRow);
    const uint64_t out = io.place(kRow), row1 = io.place(kRow), row2 = io.place(kRow);
    StageSpec st = stage(
        {tensor("hidden", BM_FLOAT16, {1, 1, 2}, in), tensor("position_id", BM_INT32, {1, 1}, pos),
         tensor("attention_mask", BM_FLOAT16, {1, 1, 1, s + 1}, m), tensor("cache1", BM_FLOAT16, {1, s, 1, 2}, k_cache),
         tensor("cache2", BM_FLOAT16, {1, s, 1, 2}, v_cache)},
        {tensor("hidden_out", BM_FLOAT16, {1, 1, 2}, out), tensor("row1", BM_FLOAT16, {1, 1, 1, 2}, row1),
         tensor("row2", BM_FLOAT16, {1, 1, 1, 2}, row2)},
        bytes_of(prev_table),
        // The hidden state of the previous position, read from the cache.
        {gdma_gather(kCoeffAddr, pos, scratch, 1, 4, s), gdma_gather(k_cache, scratch, out, 1, kRow, s),
         gdma_copy(in, row1, 1, kRow), gdma_copy(in, row2, 1, kRow)});
    st.io_addr = kIoAddr;
    st.io_size = io.used();
    model.nets.push_back(NetSpec{"block_cache_" + std::to_string(layer), 1, {st}});
  }
  if (options.greedy_head) {
    model.nets.push_back(NetSpec{"lm_head", 0,
                                 {stage({tensor("hidden", BM_FLOAT16, {1, 1, 2}, head_in)},
                                        {tensor("logits", BM_FLOAT16, {1, 1, 2}, head_out)}, {},
                                        {gdma_copy(head_in, head_out, 1, kRow)})}});
    model.nets.push_back(NetSpec{"greedy_head", 0,
                                 {stage({tensor("logits", BM_FLOAT16, {1, 1, 2}, greedy_in)},
                                        {tensor("token", BM_INT32, {1, 1}, greedy_out)}, next_coeff,
                                        {gdma_gather(kCoeffAddr, greedy_in, greedy_out, 1, 4, v)})}});
  } else if (options.logits_head && v <= kLlmLogitsPeriod) {
    // One row of scores per hidden value, picked by the hidden value.
    std::vector<float> table(size_t{v} * v);
    for (uint32_t h = 0; h < v; ++h) {
      for (uint32_t t = 0; t < v; ++t) table[size_t{h} * v + t] = llm_logit(h, t, v);
    }
    model.nets.push_back(NetSpec{"lm_head", 0,
                                 {stage({tensor("hidden", BM_FLOAT16, {1, 1, 2}, head_in)},
                                        {tensor("logits", BM_FLOAT32, {1, v}, head_out)}, bytes_of(table),
                                        {gdma_gather(kCoeffAddr, head_in, head_out, 1, 4 * v, v)})}});
  } else if (options.logits_head) {
    Program head = periodic_logits_head(v, head_in, head_out, scratch);
    model.nets.push_back(NetSpec{"lm_head", 0,
                                 {stage({tensor("hidden", BM_FLOAT16, {1, 1, 2}, head_in)},
                                        {tensor("logits", BM_FLOAT32, {1, v}, head_out)}, std::move(head.coeff),
                                        std::move(head.commands))}});
  } else {
    model.nets.push_back(NetSpec{"lm_head", 0,
                                 {stage({tensor("hidden", BM_FLOAT16, {1, 1, 2}, head_in)},
                                        {tensor("token", BM_INT32, {1, 1}, head_out)}, next_coeff,
                                        {gdma_gather(kCoeffAddr, head_in, head_out, 1, 4, v)})}});
  }
  return model;
}

}  // namespace vexo::samples
