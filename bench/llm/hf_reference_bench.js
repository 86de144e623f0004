// The reference's side of tokenizer_bench: Hugging Face's tokenizers library
// encodes each document (one call each, one thread) after one warm-up pass.
//   node hf_reference_bench.js TOKENIZER.json DOCUMENTS.json
// Prints {"seconds": encode time, "load_seconds": ..., "load_rss_bytes": the
// resident memory the load added, "ids": all ids}.
//   node hf_reference_bench.js TOKENIZER.json IDS.json stream
// Decodes the ids one call per id, as a caller shows tokens one by one with
// this binding (it has no streaming decoder); prints {"per_token_seconds"}.
const fs = require("fs");
const { Tokenizer } = require("tokenizers");

async function main() {
  const [file, docsPath, mode] = process.argv.slice(2);
  const docs = JSON.parse(fs.readFileSync(docsPath, "utf8"));
  const rssBefore = process.memoryUsage().rss;
  let start = process.hrtime.bigint();
  const tokenizer = Tokenizer.fromFile(file);
  const loadSeconds = Number(process.hrtime.bigint() - start) / 1e9;
  const loadRss = process.memoryUsage().rss - rssBefore;
  if (mode === "stream") {
    const decodeAll = async () => {
      for (const id of docs) await tokenizer.decode([id], false);
    };
    await decodeAll();
    start = process.hrtime.bigint();
    await decodeAll();
    const perToken = Number(process.hrtime.bigint() - start) / 1e9 / docs.length;
    process.stdout.write(JSON.stringify({ per_token_seconds: perToken }));
    return;
  }
  const encodeAll = async () => {
    const ids = [];
    for (const doc of docs) ids.push((await tokenizer.encode(doc, null, { addSpecialTokens: false })).getIds());
    return ids;
  };
  await encodeAll();
  start = process.hrtime.bigint();
  const ids = await encodeAll();
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  process.stdout.write(JSON.stringify({ seconds, load_seconds: loadSeconds, load_rss_bytes: loadRss, ids }));
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
