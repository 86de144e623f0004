// vexo-serve through the official OpenAI client for Node, on loopback:
// logprobs shapes and values, logit_bias, penalties, n choices, refused
// fields, aliases, CORS, Retry-After and a non-streamed request cancelled
// by its client.
//   node openai_client.mjs MAIN_URL TOKEN_HEAD_URL SLOW_URL
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import path from 'node:path';

// The client lives in the test cache (NODE_PATH), which ES modules do not search.
const { OpenAI } = createRequire(path.join(process.env.NODE_PATH, 'noop.js'))('openai');

const [mainUrl, tokenUrl, slowUrl] = process.argv.slice(2);
const client = (url) => new OpenAI({ baseURL: `${url}/v1`, apiKey: 'unused', maxRetries: 0, timeout: 30000 });
const main = client(mainUrl);
const MODEL = 'vexo-test', ALIAS = 'vexo-alias', ORIGIN = 'http://page.example';

async function detokenize(ids) {
  const answer = await fetch(`${mainUrl}/detokenize`, { method: 'POST', body: JSON.stringify({ tokens: ids }) });
  return (await answer.json()).content;
}

async function refused(api, body, param) {
  await assert.rejects(api(body), (error) => {
    assert.equal(error.status, 400, `${param}: ${error.message}`);
    assert.equal(error.param, param, error.message);
    return true;
  }, param);
}

async function checkModels() {
  const models = [];
  for await (const model of main.models.list()) models.push(model);
  assert.deepEqual(models.map((m) => m.id), [MODEL, ALIAS]);
  for (const model of models) {
    assert.equal(model.max_model_len, 128);
    assert.equal(model.head_kind, 'logits');
  }
  const answer = await main.completions.create({ model: ALIAS, prompt: [5, 17, 42], max_tokens: 2, temperature: 0 });
  assert.equal(answer.model, ALIAS);
}

async function checkLogprobs() {
  const answer = await main.completions.create({
    model: MODEL, prompt: 'hello world', max_tokens: 8, temperature: 0, logprobs: 3,
  });
  const { logprobs, text } = answer.choices[0];
  const n = answer.usage.completion_tokens;
  for (const list of [logprobs.tokens, logprobs.token_logprobs, logprobs.top_logprobs, logprobs.text_offset]) {
    assert.equal(list.length, n);
  }
  let offset = -1;
  logprobs.token_logprobs.forEach((logprob, i) => {
    const top = logprobs.top_logprobs[i];
    const values = Object.values(top);
    assert.ok(logprob <= 0);
    assert.ok(values.length >= 1 && values.length <= 3);
    // Greedy: the chosen token is the likeliest.
    assert.equal(logprob, Math.max(...values));
    assert.ok(values.reduce((sum, v) => sum + Math.exp(v), 0) <= 1 + 1e-9);
    assert.ok(logprobs.text_offset[i] >= offset && logprobs.text_offset[i] <= text.length);
    offset = logprobs.text_offset[i];
  });

  const messages = [{ role: 'user', content: 'hello' }];
  const chat = await main.chat.completions.create({
    model: MODEL, messages, max_tokens: 6, temperature: 0, logprobs: true, top_logprobs: 5,
  });
  const content = chat.choices[0].logprobs.content;
  assert.equal(content.length, chat.usage.completion_tokens);
  for (const entry of content) {
    assert.ok(entry.logprob <= 0);
    assert.deepEqual(entry.bytes, [...Buffer.from(entry.token)]);
    assert.equal(entry.top_logprobs.length, 5);
    assert.equal(entry.top_logprobs[0].logprob, entry.logprob);
    assert.ok(entry.top_logprobs.reduce((sum, e) => sum + Math.exp(e.logprob), 0) <= 1 + 1e-9);
  }
  // Streamed: the same tokens, their logprobs with the text chunks.
  const stream = await main.chat.completions.create({
    model: MODEL, messages, max_tokens: 6, temperature: 0, logprobs: true, top_logprobs: 5, stream: true,
  });
  let streamedText = '';
  const streamed = [];
  for await (const chunk of stream) {
    const choice = chunk.choices[0];
    if (!choice) continue;
    streamedText += choice.delta?.content ?? '';
    streamed.push(...(choice.logprobs?.content ?? []));
  }
  assert.equal(streamedText, chat.choices[0].message.content);
  assert.deepEqual(streamed, content);
}

async function checkBiasAndPenalties() {
  // The sample's greedy rule: the next token after prompt [5, 17, 42].
  const greedy = (5 * ((7 * 5 + 3) % 64) + 1) % 64;
  const banned = await detokenize([greedy]);
  for (let seed = 0; seed < 4; ++seed) {
    const answer = await main.completions.create({
      model: MODEL, prompt: [5, 17, 42], max_tokens: 1, temperature: 0.7, seed, logprobs: 0,
      logit_bias: { [greedy]: -100 },
    });
    assert.notEqual(answer.choices[0].logprobs.tokens[0], banned);
  }
  const forced = await main.completions.create({
    model: MODEL, prompt: [5, 17, 42], max_tokens: 5, temperature: 1.5, seed: 3, logit_bias: { 7: 100 },
  });
  assert.equal(forced.choices[0].text.trim(), (await detokenize([7, 7, 7, 7, 7])).trim());

  // Penalties as defined: the sample's logits replayed here in float32,
  // each lowered by presence + frequency x count over the generated tokens.
  const f = Math.fround;
  const penalised = (presence, frequency, count) => {
    const tokens = [1], out = [], seen = new Map();
    while (out.length < count) {
      const hidden = (7 * tokens[Math.max(tokens.length - 3, 0)] + 3) % 64;
      let best = -1, bestValue = -Infinity;
      for (let token = 0; token < 64; ++token) {
        let value = token === (5 * hidden + 1) % 64 ? 10 : f(f(-6 * ((37 * token + 11 * hidden) % 64)) / 64);
        const n = seen.get(token) ?? 0;
        if (n) value = f(value - f(presence + f(frequency * n)));
        if (value > bestValue) [best, bestValue] = [token, value];
      }
      if (best === 2) break;  // the tokenizer's end id
      tokens.push(best);
      out.push(best);
      seen.set(best, (seen.get(best) ?? 0) + 1);
    }
    return out;
  };
  const added = async (ids) => (await detokenize([1, ...ids])).slice((await detokenize([1])).length);
  const body = { model: MODEL, prompt: [1], max_tokens: 60, temperature: 0 };
  const plain = await main.completions.create(body);
  const answer = await main.completions.create({ ...body, frequency_penalty: 2, presence_penalty: 2 });
  assert.equal(plain.choices[0].text, await added(penalised(0, 0, 60)));
  assert.equal(answer.choices[0].text, await added(penalised(2, 2, 60)));
  assert.notEqual(answer.choices[0].text, plain.choices[0].text);
}

async function checkChoices() {
  const body = { model: MODEL, prompt: 'the fox', max_tokens: 8, temperature: 1.3, seed: 40 };
  const three = await main.completions.create({ ...body, n: 3 });
  assert.deepEqual(three.choices.map((c) => c.index), [0, 1, 2]);
  let tokens = 0;
  for (let i = 0; i < 3; ++i) {
    const single = await main.completions.create({ ...body, seed: 40 + i });
    assert.equal(three.choices[i].text, single.choices[0].text);
    tokens += single.usage.completion_tokens;
  }
  assert.equal(three.usage.completion_tokens, tokens);
  const stream = await main.chat.completions.create({
    model: MODEL, messages: [{ role: 'user', content: 'hi' }], max_tokens: 3, temperature: 1, seed: 1, n: 2,
    stream: true,
  });
  const finished = new Set();
  for await (const chunk of stream) {
    for (const choice of chunk.choices) if (choice.finish_reason) finished.add(choice.index);
  }
  assert.deepEqual([...finished].sort(), [0, 1]);
}

async function checkRefusals() {
  const chat = (body) => main.chat.completions.create({
    model: MODEL, messages: [{ role: 'user', content: 'hi' }], max_tokens: 2, ...body,
  });
  const complete = (body) => main.completions.create({ model: MODEL, prompt: 'hi', max_tokens: 2, ...body });
  await refused(chat, { response_format: { type: 'xml' } }, 'response_format');
  await refused(chat, { tools: [{ type: 'function', function: { name: 'f', parameters: [] } }] }, 'tools');
  await refused(chat, { modalities: ['text', 'audio'] }, 'modalities');
  await refused(chat, { prediction: { type: 'content', content: 'x' } }, 'prediction');
  await refused(chat, { web_search_options: {} }, 'web_search_options');
  await refused(chat, { store: true }, 'store');
  await refused(chat, { stop: '\u0000' }, 'stop');
  await refused(chat, { stop: ['\u0000x'] }, 'stop');
  await refused(chat, { top_logprobs: 21, logprobs: true }, 'top_logprobs');
  await refused(chat, { n: 17 }, 'n');
  await refused(complete, { best_of: 2 }, 'best_of');
  await refused(complete, { presence_penalty: 2.5 }, 'presence_penalty');
  await refused(complete, { logit_bias: { 64: 1 } }, 'logit_bias');
  await refused(complete, { logprobs: 6 }, 'logprobs');
  // Accepted without effect.
  const answer = await chat({ user: 'someone', metadata: { k: 'v' }, store: false, max_completion_tokens: 3,
                              max_tokens: undefined });
  assert.equal(answer.usage.completion_tokens, 3);
  // A token head has no logits to honour these.
  const tokenHead = client(tokenUrl);
  await refused((body) => tokenHead.completions.create({ model: 'llm-token', prompt: [1], max_tokens: 2, ...body }),
                { logprobs: 1 }, 'logprobs');
}

async function checkCors() {
  const preflight = await fetch(`${mainUrl}/v1/chat/completions`, {
    method: 'OPTIONS',
    headers: { Origin: ORIGIN, 'Access-Control-Request-Method': 'POST',
               'Access-Control-Request-Headers': 'authorization, content-type' },
  });
  assert.equal(preflight.status, 204);
  assert.equal(preflight.headers.get('access-control-allow-origin'), ORIGIN);
  assert.match(preflight.headers.get('access-control-allow-methods'), /POST/);
  assert.match(preflight.headers.get('access-control-allow-headers'), /Authorization/);
  const models = await fetch(`${mainUrl}/v1/models`, { headers: { Origin: ORIGIN } });
  assert.equal(models.headers.get('access-control-allow-origin'), ORIGIN);
  const other = await fetch(`${mainUrl}/v1/models`, { headers: { Origin: 'http://elsewhere.example' } });
  assert.equal(other.headers.get('access-control-allow-origin'), null);
}

// The slow server: one device, no queue, every launch slowed down.
async function checkCancelAndRetryAfter() {
  const slow = client(slowUrl);
  const short = { model: 'llm-long', prompt: [3], max_tokens: 2, temperature: 0 };
  let start = performance.now();
  await slow.completions.create(short);
  const shortSeconds = (performance.now() - start) / 1000;

  const controller = new AbortController();
  const long = slow.completions.create({ ...short, max_tokens: 1500 }, { signal: controller.signal });
  long.catch(() => {});
  await new Promise((resolve) => setTimeout(resolve, 300));
  const busy = await fetch(`${slowUrl}/v1/completions`, { method: 'POST', body: JSON.stringify(short) });
  assert.equal(busy.status, 429);
  assert.equal(busy.headers.get('retry-after'), '1');
  controller.abort();
  start = performance.now();
  for (;;) {
    const answer = await fetch(`${slowUrl}/v1/completions`, { method: 'POST', body: JSON.stringify(short) });
    if (answer.status === 200) break;
    assert.equal(answer.status, 429);
    assert.ok(performance.now() - start < 5000, 'the cancelled request still holds the device');
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
  // Within a few tokens' time, where the whole long request takes minutes.
  const freed = (performance.now() - start) / 1000;
  assert.ok(freed < 2 * shortSeconds + 1, `freed after ${freed} s (a short request takes ${shortSeconds} s)`);
}

for (const check of [checkModels, checkLogprobs, checkBiasAndPenalties, checkChoices, checkRefusals, checkCors,
                     checkCancelAndRetryAfter]) {
  await check();
  console.log(`${check.name}: ok`);
}
