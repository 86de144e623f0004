// Writes what Hugging Face's tokenizers library (the npm package
// "tokenizers") makes of each case: node hf_reference.js CASES.json OUT.json.
// CASES: {"files": [tokenizer.json paths], "texts": [base64 UTF-8 bytes]}.
// OUT: per file, per text: ids without and with special tokens, the decoded
// text of the ids, and the ids with special-token splitting off.
const fs = require("fs");
const { Tokenizer } = require("tokenizers");

async function main() {
  const [casesPath, outPath] = process.argv.slice(2);
  const cases = JSON.parse(fs.readFileSync(casesPath, "utf8"));
  // Invalid UTF-8 reaches the library as a text decoder would repair it.
  const texts = cases.texts.map((b64) => new TextDecoder().decode(Buffer.from(b64, "base64")));
  const out = {};
  for (const file of cases.files) {
    const tokenizer = Tokenizer.fromFile(file);
    const plain = JSON.parse(fs.readFileSync(file, "utf8"));
    // Special tokens as plain text (the library's encode_special_tokens,
    // which this binding lacks): the same file with special tokens that
    // match nothing.
    // (Their text is changed, not removed: the ids of the others stay.)
    const unmatchable = (t, i) => (t.special ? { ...t, content: `\uE000${i}\uE001` } : t);
    const withoutSpecials = { ...plain, added_tokens: (plain.added_tokens || []).map(unmatchable) };
    const plainTokenizer = Tokenizer.fromString(JSON.stringify(withoutSpecials));
    // The library renumbers added tokens that are not in the model's
    // vocabulary: back to the file's ids.
    const fileId = new Map();
    for (const t of plain.added_tokens || []) {
      if (!t.special) fileId.set(plainTokenizer.tokenToId(t.content), t.id);
    }
    const results = [];
    for (const text of texts) {
      const ids = (await tokenizer.encode(text, null, { addSpecialTokens: false })).getIds();
      const withSpecial = (await tokenizer.encode(text, null, { addSpecialTokens: true })).getIds();
      const decoded = await tokenizer.decode(ids, false);
      const asText = (await plainTokenizer.encode(text, null, { addSpecialTokens: false })).getIds().map((id) => fileId.get(id) ?? id);
      results.push({ ids, with_special: withSpecial, decoded, special_as_text: asText });
    }
    out[file] = results;
  }
  fs.writeFileSync(outPath, JSON.stringify(out));
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
