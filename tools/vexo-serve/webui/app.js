// The chat page: talks to this server's /v1/chat/completions with streaming
// and keeps the conversation in the browser. Model output is only ever set
// as text (textContent, text nodes), never parsed as HTML.
"use strict";

const CONVERSATION_KEY = "vexo-chat-conversation";
const SETTINGS_KEY = "vexo-chat-settings";
const API_KEY_KEY = "vexo-chat-api-key"; // session storage only: gone with the tab

const $ = (id) => document.getElementById(id);
const ui = {
  status: $("status"), messages: $("messages"), input: $("input"), composer: $("composer"),
  send: $("send"), stop: $("stop"), clear: $("clear"), settings: $("settings"),
  settingsToggle: $("settings-toggle"), model: $("model"), temperature: $("temperature"),
  topP: $("top-p"), maxTokens: $("max-tokens"), seed: $("seed"), apiKey: $("api-key"), system: $("system"),
};

let conversation = load(localStorage, CONVERSATION_KEY, { messages: [] });
let running = null; // the AbortController of the request in flight

function load(storage, key, fallback) {
  try {
    const value = JSON.parse(storage.getItem(key));
    return value && typeof value === "object" ? value : fallback;
  } catch {
    return fallback;
  }
}

function save() {
  localStorage.setItem(CONVERSATION_KEY, JSON.stringify(conversation));
}

function setStatus(text, error = false) {
  ui.status.textContent = text;
  ui.status.classList.toggle("error", error);
}

// Fills container with text: fenced code (``` lines) becomes <pre><code>,
// the rest keeps its line breaks through CSS. Everything is a text node.
function renderText(container, text) {
  container.replaceChildren();
  let prose = [];
  let code = null; // the lines of the open code block
  const flushProse = () => {
    if (prose.length === 0) return;
    const span = document.createElement("span");
    span.className = "text";
    span.textContent = prose.join("\n");
    container.append(span);
    prose = [];
  };
  const flushCode = () => {
    const pre = document.createElement("pre");
    const element = document.createElement("code");
    element.textContent = code.join("\n");
    pre.append(element);
    container.append(pre);
    code = null;
  };
  for (const line of text.split("\n")) {
    if (line.trimStart().startsWith("```")) {
      if (code) {
        flushCode();
      } else {
        flushProse();
        code = [];
      }
    } else if (code) {
      code.push(line);
    } else {
      prose.push(line);
    }
  }
  if (code) flushCode(); // a block still being streamed
  flushProse();
}

function statsText(stats) {
  if (!stats) return "";
  if (stats.error) return stats.error;
  const parts = [];
  if (stats.stopped) parts.push("stopped");
  if (stats.tokens !== undefined) parts.push(`${stats.tokens} tokens`);
  if (stats.tokensPerSecond !== undefined) parts.push(`${stats.tokensPerSecond.toFixed(1)} tokens/s`);
  if (stats.firstTokenMs !== undefined) parts.push(`first token ${Math.round(stats.firstTokenMs)} ms`);
  return parts.join(" · ");
}

function messageElement(message) {
  const element = document.createElement("article");
  element.className = `message ${message.role === "user" ? "user" : "assistant"}`;
  const body = document.createElement("div");
  body.className = "body";
  renderText(body, String(message.content ?? ""));
  element.append(body);
  if (message.role !== "user") {
    const stats = document.createElement("div");
    stats.className = "stats";
    stats.textContent = statsText(message.stats);
    element.append(stats);
  }
  return element;
}

function scrollToEnd() {
  ui.messages.scrollTop = ui.messages.scrollHeight;
}

function showConversation() {
  ui.messages.replaceChildren(...conversation.messages.map(messageElement));
  scrollToEnd();
}

// Settings live in local storage, the API key in session storage.
function loadSettings() {
  const settings = load(localStorage, SETTINGS_KEY, {});
  for (const [name, element] of [["temperature", ui.temperature], ["topP", ui.topP], ["maxTokens", ui.maxTokens],
                                 ["seed", ui.seed], ["system", ui.system]]) {
    if (typeof settings[name] === "string") element.value = settings[name];
  }
  ui.apiKey.value = sessionStorage.getItem(API_KEY_KEY) ?? "";
  return settings.model;
}

function saveSettings() {
  localStorage.setItem(SETTINGS_KEY, JSON.stringify({
    model: ui.model.value, temperature: ui.temperature.value, topP: ui.topP.value,
    maxTokens: ui.maxTokens.value, seed: ui.seed.value, system: ui.system.value,
  }));
  sessionStorage.setItem(API_KEY_KEY, ui.apiKey.value);
}

function headers() {
  const result = { "Content-Type": "application/json" };
  if (ui.apiKey.value) result.Authorization = `Bearer ${ui.apiKey.value}`;
  return result;
}

async function errorMessage(response) {
  try {
    const body = await response.json();
    if (body?.error?.message) return `${response.status}: ${body.error.message}`;
  } catch {
    // not JSON: the status says enough
  }
  return `${response.status} ${response.statusText}`;
}

function showSettings(open) {
  ui.settings.hidden = !open;
  ui.settingsToggle.setAttribute("aria-expanded", String(open));
}

async function loadModels(preferred) {
  try {
    const response = await fetch("/v1/models", { headers: headers() });
    if (response.status === 401) {
      setStatus("This server needs an API key: enter it in Settings", true);
      showSettings(true);
      return;
    }
    if (!response.ok) throw new Error(await errorMessage(response));
    const models = (await response.json()).data.map((model) => model.id);
    const keep = preferred ?? ui.model.value;
    ui.model.replaceChildren(...models.map((id) => new Option(id, id)));
    if (models.includes(keep)) ui.model.value = keep;
    setStatus(models.length === 1 ? `Model ${models[0]}` : `${models.length} models`);
  } catch (error) {
    setStatus(`Cannot list the models: ${error.message}`, true);
  }
}

function numberSetting(element) {
  const value = element.value.trim();
  return value === "" ? undefined : Number(value);
}

function requestBody() {
  const messages = [];
  const system = ui.system.value.trim();
  if (system) messages.push({ role: "system", content: system });
  for (const message of conversation.messages) messages.push({ role: message.role, content: message.content });
  const body = { messages, stream: true, stream_options: { include_usage: true } };
  if (ui.model.value) body.model = ui.model.value;
  const fields = [["temperature", ui.temperature], ["top_p", ui.topP], ["max_tokens", ui.maxTokens], ["seed", ui.seed]];
  for (const [name, element] of fields) {
    const value = numberSetting(element);
    if (value !== undefined) body[name] = value;
  }
  return body;
}

// Reads a server-sent event stream and calls onEvent with each parsed data
// line; returns when the stream ends.
async function readEvents(response, onEvent) {
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let buffer = "";
  for (;;) {
    const { value, done } = await reader.read();
    if (done) break;
    buffer += decoder.decode(value, { stream: true });
    let end;
    while ((end = buffer.indexOf("\n\n")) >= 0) {
      const event = buffer.slice(0, end);
      buffer = buffer.slice(end + 2);
      for (const line of event.split("\n")) {
        if (!line.startsWith("data:")) continue;
        const data = line.slice(5).trim();
        if (data === "[DONE]") return;
        onEvent(JSON.parse(data));
      }
    }
  }
}

function setRunning(controller) {
  running = controller;
  ui.send.hidden = controller !== null;
  ui.stop.hidden = controller === null;
  ui.input.readOnly = controller !== null;
}

async function send() {
  const text = ui.input.value;
  if (running || text.trim() === "") return;
  saveSettings();
  conversation.messages.push({ role: "user", content: text });
  ui.input.value = "";
  const reply = { role: "assistant", content: "", stats: null };
  const body = requestBody();
  conversation.messages.push(reply);
  showConversation();
  const replyBody = ui.messages.lastElementChild.querySelector(".body");

  const controller = new AbortController();
  setRunning(controller);
  setStatus("Generating…");
  const start = performance.now();
  let firstToken;
  let usage;
  try {
    const response = await fetch("/v1/chat/completions", {
      method: "POST", headers: headers(), body: JSON.stringify(body), signal: controller.signal,
    });
    if (!response.ok) throw new Error(await errorMessage(response));
    await readEvents(response, (chunk) => {
      if (chunk.error) throw new Error(chunk.error.message ?? "the stream failed");
      if (chunk.usage) usage = chunk.usage;
      const delta = chunk.choices?.[0]?.delta?.content;
      if (delta) {
        firstToken ??= performance.now();
        reply.content += delta;
        renderText(replyBody, reply.content);
        scrollToEnd();
      }
    });
    const end = performance.now();
    reply.stats = { tokens: usage?.completion_tokens };
    if (firstToken !== undefined) {
      reply.stats.firstTokenMs = firstToken - start;
      if (usage && end > start) reply.stats.tokensPerSecond = usage.completion_tokens / ((end - start) / 1000);
    }
    setStatus("");
  } catch (error) {
    if (controller.signal.aborted) {
      reply.stats = { stopped: true };
      if (firstToken !== undefined) reply.stats.firstTokenMs = firstToken - start;
      setStatus("Stopped");
    } else if (reply.content === "") {
      // Nothing came back: take the message back so that it can be sent again.
      conversation.messages.splice(-2, 2);
      ui.input.value = text;
      setStatus(error.message, true);
      if (error.message.startsWith("401")) showSettings(true);
    } else {
      reply.stats = { error: `cut short: ${error.message}` };
      setStatus(error.message, true);
    }
  } finally {
    setRunning(null);
    save();
    showConversation();
    ui.input.focus();
  }
}

ui.composer.addEventListener("submit", (event) => {
  event.preventDefault();
  send();
});
ui.input.addEventListener("keydown", (event) => {
  if (event.key === "Enter" && !event.shiftKey && !event.isComposing) {
    event.preventDefault();
    send();
  }
});
ui.stop.addEventListener("click", () => running?.abort());
ui.clear.addEventListener("click", () => {
  running?.abort();
  conversation = { messages: [] };
  save();
  showConversation();
  setStatus("");
  ui.input.focus();
});
ui.settingsToggle.addEventListener("click", () => showSettings(ui.settings.hidden));
ui.settings.addEventListener("change", saveSettings);
ui.apiKey.addEventListener("change", () => loadModels());

if (!Array.isArray(conversation.messages)) conversation = { messages: [] };
const preferredModel = loadSettings();
showConversation();
loadModels(preferredModel);
ui.input.focus();
