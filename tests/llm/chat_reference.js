// Renders chat templates with @huggingface/jinja, the reference for how
// transformers renders them. Reads [{template, context}] as JSON on standard
// input; writes [{text} or {error}] as JSON. raise_exception is its own.
const { Template } = require("@huggingface/jinja");

let input = "";
process.stdin.on("data", (chunk) => (input += chunk));
process.stdin.on("end", () => {
  const results = JSON.parse(input).map(({ template, context }) => {
    try {
      return { text: new Template(template).render(context) };
    } catch (error) {
      return { error: String(error.message) };
    }
  });
  process.stdout.write(JSON.stringify(results));
});
