// Structured output and tool calls through the official OpenAI client for
// Node, on loopback; every answer parsed and validated by ajv.
//   node structured_client.mjs MAIN_URL TOKEN_HEAD_URL
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import path from 'node:path';

// The packages live in the test cache (NODE_PATH), which ES modules do not search.
const require = createRequire(path.join(process.env.NODE_PATH, 'noop.js'));
const { OpenAI } = require('openai');
const Ajv = require('ajv/dist/2020').default;
const addFormats = require('ajv-formats');

const [mainUrl, tokenUrl] = process.argv.slice(2);
const client = (url) => new OpenAI({ baseURL: `${url}/v1`, apiKey: 'unused', maxRetries: 0, timeout: 120000 });
const main = client(mainUrl);
const ajv = new Ajv({ strict: false });
addFormats(ajv);

function validated(schema, text) {
  let value;
  try {
    value = JSON.parse(text);
  } catch (error) {
    assert.fail(`does not parse: ${JSON.stringify(text)}: ${error.message}`);
  }
  const validate = ajv.compile(schema);
  assert.ok(validate(value), `${JSON.stringify(text)}: ${ajv.errorsText(validate.errors)}`);
  // Members come in the order the schema lists them.
  if (schema.properties && value && typeof value === 'object' && !Array.isArray(value)) {
    const order = Object.keys(schema.properties);
    const keys = Object.keys(value);
    assert.deepEqual(keys, order.filter((key) => keys.includes(key)), text);
  }
  return value;
}

async function refused(call, param, pattern) {
  await assert.rejects(call, (error) => {
    assert.equal(error.status, 400, `${param}: ${error.message}`);
    assert.equal(error.param, param, error.message);
    if (pattern) assert.match(error.message, pattern);
    return true;
  }, param);
}

// Deep nesting, enums with unicode, anyOf, formats and patterns; every
// string and array bounded so that any draw ends within the budget.
const profile = {
  type: 'object',
  properties: {
    name: { type: 'string', minLength: 1, maxLength: 12 },
    city: { enum: ['Zürich', '東京', 'São Paulo', 'Kraków'] },
    mood: { enum: ['calm', 3, null, true] },
    outer: {
      type: 'object',
      properties: {
        middle: {
          type: 'object',
          properties: {
            inner: {
              type: 'object',
              properties: {
                counts: { type: 'array', items: { type: 'integer' }, maxItems: 3 },
                greek: { type: 'string', pattern: '^[αβγ]{1,4}$' },
              },
              required: ['counts', 'greek'],
              additionalProperties: false,
            },
          },
          required: ['inner'],
          additionalProperties: false,
        },
      },
      required: ['middle'],
      additionalProperties: false,
    },
    value: { anyOf: [{ type: 'number' }, { type: 'string', maxLength: 5 }, { type: 'array', items: { type: 'boolean' }, maxItems: 2 }] },
    when: { type: 'string', format: 'date' },
  },
  required: ['name', 'city', 'mood', 'outer', 'value'],
  additionalProperties: false,
};
const items = {
  type: 'array',
  minItems: 1,
  maxItems: 3,
  items: {
    type: 'object',
    properties: {
      id: { type: 'string', format: 'uuid' },
      tags: { type: 'array', items: { enum: ['red', 'grün', '青'] }, maxItems: 3 },
      ok: { type: 'boolean' },
    },
    required: ['id', 'ok'],
    additionalProperties: false,
  },
};

async function checkSchemas() {
  let count = 0;
  for (const [name, schema] of [['profile', profile], ['items', items]]) {
    const response_format = { type: 'json_schema', json_schema: { name, schema, strict: true } };
    for (let seed = 0; seed < 16; ++seed) {
      const temperature = [0, 0.7, 1.2, 1.5][seed % 4];
      const common = { model: 'm', max_tokens: 1500, temperature, seed, response_format };
      const answer = seed % 2
        ? await main.completions.create({ ...common, prompt: 'Write the record:' })
        : await main.chat.completions.create({ ...common, messages: [{ role: 'user', content: 'The record?' }] });
      const choice = answer.choices[0];
      assert.equal(choice.finish_reason, 'stop', JSON.stringify(choice));
      validated(schema, choice.text ?? choice.message.content);
      ++count;
    }
  }
  // Streamed: the chunks join into a valid value.
  const stream = await main.chat.completions.create({
    model: 'm', messages: [{ role: 'user', content: 'The record?' }], temperature: 1.5, seed: 99, stream: true,
    max_tokens: 1500, response_format: { type: 'json_schema', json_schema: { name: 'profile', schema: profile } },
  });
  let text = '';
  for await (const chunk of stream) text += chunk.choices[0]?.delta?.content ?? '';
  validated(profile, text);
  // json_object: an object.
  const object = await main.chat.completions.create({
    model: 'm', messages: [{ role: 'user', content: 'JSON please' }], temperature: 0, max_tokens: 400,
    response_format: { type: 'json_object' },
  });
  if (object.choices[0].finish_reason === 'stop') validated({ type: 'object' }, object.choices[0].message.content);
  assert.equal(object.choices[0].message.content.trimStart()[0], '{');
  console.log(`${count + 1} schema answers validated`);
}

async function checkRefusals() {
  const chat = (response_format) => main.chat.completions.create({
    model: 'm', messages: [{ role: 'user', content: 'hi' }], max_tokens: 2, response_format,
  });
  const schema = (s) => ({ type: 'json_schema', json_schema: { name: 'x', schema: s } });
  await refused(chat(schema({ type: 'object', properties: { a: { type: 'string', contentEncoding: 'base64' } } })),
                'response_format', /contentEncoding/);
  await refused(chat(schema({ not: { type: 'string' } })), 'response_format', /not/);
  await refused(chat(schema({ type: 'string', format: 'ipv6' })), 'response_format', /ipv6/);
  await refused(chat({ type: 'xml' }), 'response_format', /xml/);
  await refused(chat({ type: 'json_schema' }), 'response_format');
  const plain = await chat({ type: 'text' });
  assert.equal(plain.choices[0].finish_reason, 'length');
  // A head that chooses its tokens on the device cannot be constrained.
  const tokenHead = client(tokenUrl);
  await refused(tokenHead.chat.completions.create({
    model: 'llm-token', messages: [{ role: 'user', content: 'hi' }], max_tokens: 2,
    response_format: { type: 'json_object' },
  }), 'response_format', /logits/);
}

const tools = [
  {
    type: 'function',
    function: {
      name: 'get_weather',
      description: 'The weather of a city',
      parameters: {
        type: 'object',
        properties: {
          city: { type: 'string', minLength: 1, maxLength: 20 },
          unit: { enum: ['celsius', 'fahrenheit'] },
          days: { type: 'integer' },
        },
        required: ['city', 'unit'],
        additionalProperties: false,
      },
    },
  },
  {
    type: 'function',
    function: {
      name: 'book',
      parameters: {
        type: 'object',
        properties: {
          guests: { type: 'array', items: { type: 'string', maxLength: 8 }, minItems: 1, maxItems: 3 },
          when: { type: 'string', format: 'date-time' },
          note: { anyOf: [{ type: 'null' }, { type: 'string', maxLength: 10 }] },
        },
        required: ['guests', 'when', 'note'],
        additionalProperties: false,
      },
    },
  },
];
const parametersOf = Object.fromEntries(tools.map((t) => [t.function.name, t.function.parameters]));

function validCalls(message, names) {
  assert.ok(message.tool_calls?.length >= 1, JSON.stringify(message));
  const ids = new Set();
  for (const call of message.tool_calls) {
    assert.equal(call.type, 'function');
    assert.match(call.id, /^call_/);
    ids.add(call.id);
    assert.ok(names.includes(call.function.name), call.function.name);
    validated(parametersOf[call.function.name], call.function.arguments);
  }
  assert.equal(ids.size, message.tool_calls.length, 'call ids repeat');
}

async function checkToolCalls() {
  const messages = [{ role: 'user', content: 'Weather in Zürich, then book a table.' }];
  const names = tools.map((t) => t.function.name);
  let calls = 0;
  for (let seed = 0; seed < 8; ++seed) {
    const temperature = [0, 0.8, 1.5][seed % 3];
    const named = seed % 2 ? { type: 'function', function: { name: names[seed % 4 === 1 ? 0 : 1] } } : null;
    const answer = await main.chat.completions.create({
      model: 'm', messages, tools, tool_choice: named ?? 'required', temperature, seed, max_tokens: 1000,
    });
    const choice = answer.choices[0];
    assert.equal(choice.finish_reason, 'tool_calls', JSON.stringify(choice));
    validCalls(choice.message, named ? [named.function.name] : names);
    ++calls;
  }
  // Streamed: the client's stream helper joins the deltas into calls.
  const stream = main.chat.completions.stream({
    model: 'm', messages, tools, tool_choice: 'required', temperature: 1.2, seed: 5, max_tokens: 1000,
  });
  let deltas = 0;
  stream.on('chunk', (chunk) => { deltas += chunk.choices[0]?.delta?.tool_calls?.length ?? 0; });
  const streamed = await stream.finalChatCompletion();
  assert.equal(streamed.choices[0].finish_reason, 'tool_calls');
  validCalls(streamed.choices[0].message, names);
  assert.ok(deltas >= 2, `${deltas} tool-call deltas`);
  const whole = await main.chat.completions.create({
    model: 'm', messages, tools, tool_choice: 'required', temperature: 1.2, seed: 5, max_tokens: 1000,
  });
  assert.deepEqual(streamed.choices[0].message.tool_calls.map((c) => c.function),
                   whole.choices[0].message.tool_calls.map((c) => c.function));

  // auto: free text is plain content; a call the model opens (steered here
  // onto the opening token) follows the grammar from there on.
  const free = await main.chat.completions.create({ model: 'm', messages, tools, temperature: 0, max_tokens: 8 });
  assert.equal(free.choices[0].message.tool_calls, undefined);
  assert.equal(typeof free.choices[0].message.content, 'string');
  const [open] = (await (await fetch(`${mainUrl}/tokenize`, {
    method: 'POST', body: JSON.stringify({ content: '<tool_call>', add_special: false }),
  })).json()).tokens;
  for (let seed = 0; seed < 4; ++seed) {
    const steered = await main.chat.completions.create({
      model: 'm', messages, tools, tool_choice: 'auto', temperature: seed * 0.5, seed, max_tokens: 1000,
      logit_bias: { [open]: 30 },
    });
    assert.equal(steered.choices[0].finish_reason, 'tool_calls', JSON.stringify(steered.choices[0]));
    validCalls(steered.choices[0].message, names);
    ++calls;
  }

  // The results come back as tool messages and reach the prompt.
  const call = whole.choices[0].message.tool_calls[0];
  const followUp = (content) => main.chat.completions.create({
    model: 'm', tools, max_tokens: 1, temperature: 0,
    messages: [...messages, { role: 'assistant', content: '', tool_calls: [call] },
               { role: 'tool', tool_call_id: call.id, content }],
  });
  const short = await followUp('sunny');
  const long = await followUp('sunny, 24 degrees, light wind from the west');
  assert.ok(long.usage.prompt_tokens > short.usage.prompt_tokens);
  // none: no tools are offered and no calls read.
  const none = await main.chat.completions.create({ model: 'm', messages, tools, tool_choice: 'none', max_tokens: 1 });
  const offered = await main.chat.completions.create({ model: 'm', messages, tools, max_tokens: 1 });
  assert.ok(none.usage.prompt_tokens < offered.usage.prompt_tokens);

  const chat = (body) => main.chat.completions.create({ model: 'm', messages, max_tokens: 2, ...body });
  await refused(chat({ tools, tool_choice: { type: 'function', function: { name: 'fly' } } }), 'tool_choice', /fly/);
  await refused(chat({ tool_choice: 'required' }), 'tool_choice');
  await refused(chat({ tools: [{ type: 'function', function: { name: 'f', parameters: { type: 'object', properties: { a: { not: {} } } } } }],
                       tool_choice: 'required' }), 'tool_choice', /not/);
  await refused(chat({ tools, tool_choice: 'required', response_format: { type: 'json_object' } }), 'response_format');
  await refused(chat({ tools: [{ type: 'retrieval' }] }), 'tools');
  const tokenHead = client(tokenUrl);
  await refused(tokenHead.chat.completions.create({
    model: 'llm-token', messages, max_tokens: 2, tools, tool_choice: 'required',
  }), 'tool_choice', /logits/);
  console.log(`${calls} tool-call answers validated`);
}

for (const check of [checkRefusals, checkSchemas, checkToolCalls]) {
  const start = performance.now();
  await check();
  console.log(`${check.name}: ok (${((performance.now() - start) / 1000).toFixed(1)} s)`);
}
