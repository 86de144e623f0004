// The reference's side of tokenizer_bench: Hugging Face's tokenizers library
// encodes each document (one call each, one thread) after one warm-up pass.
//   node hf_reference_bench.js TOKENIZER.json DOCUMENTS.json
// Prints {"seconds": encode time, "load_seconds": ..., "ids": all ids}.
const fs = require("fs");
const { Tokenizer } = require("tokenizers");

async function main() {
  const [file, docsPath] = process.argv.slice(2);
  const docs = JSON.parse(fs.readFileSync(docsPath, "utf8"));
  let start = process.hrtime.bigint();
  const tokenizer = Tokenizer.fromFile(file);
  const loadSeconds = Number(process.hrtime.bigint() - start) / 1e9;
  const encodeAll = async () => {
    const ids = [];
    for (const doc of docs) ids.push((await tokenizer.encode(doc, null, { addSpecialTokens: false })).getIds());
    return ids;
  };
  await encodeAll();
  start = process.hrtime.bigint();
  const ids = await encodeAll();
  const seconds = Number(process.hrtime.bigint() - start) / 1e9;
  process.stdout.write(JSON.stringify({ seconds, load_seconds: loadSeconds, ids }));
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
