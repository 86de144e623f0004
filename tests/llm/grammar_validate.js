// Runs the constrained generation test of grammar_tests, then validates
// every output it wrote against its schema with ajv, a validator of another
// project. Usage: node grammar_validate.js GRAMMAR_TESTS_BINARY
'use strict';
const { execFileSync } = require('child_process');
const fs = require('fs');
const os = require('os');
const path = require('path');
const Ajv = require('ajv/dist/2020').default;
const addFormats = require('ajv-formats');

const file = path.join(fs.mkdtempSync(path.join(os.tmpdir(), 'vexo-grammar-')), 'outputs.json');
execFileSync(process.argv[2], ['--gtest_filter=Grammar.GenerationFollowsSchemas'], {
  env: { ...process.env, VEXO_GRAMMAR_OUTPUTS: file },
  stdio: ['ignore', 'ignore', 'inherit'],
  timeout: 240000,
});
const outputs = JSON.parse(fs.readFileSync(file, 'utf8'));
fs.rmSync(path.dirname(file), { recursive: true });
if (outputs.length < 32) throw new Error(`only ${outputs.length} outputs to validate`);
const ajv = new Ajv({ strict: false });
addFormats(ajv);
let failures = 0;
for (const { schema, output } of outputs) {
  const validate = ajv.compile(schema);
  let value;
  try {
    value = JSON.parse(output);
  } catch (e) {
    console.error(`does not parse: ${JSON.stringify(output)}: ${e.message}`);
    failures++;
    continue;
  }
  if (!validate(value)) {
    console.error(`does not validate: ${JSON.stringify(output)}: ${ajv.errorsText(validate.errors)}`);
    failures++;
  }
}
console.log(`${outputs.length} outputs, ${failures} failures`);
process.exit(failures ? 1 : 0);
