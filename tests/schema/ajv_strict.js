// Compiles each schema with ajv (draft 2020-12) in strict mode; a warning counts as a failure.
const Ajv2020 = require("ajv/dist/2020");
const fs = require("fs");
const path = require("path");

const [folder, ...names] = process.argv.slice(2);
let problems = 0;
const complain = (...words) => {
  problems += 1;
  console.log("FAIL", ...words);
};
for (const name of names) {
  const ajv = new Ajv2020({strict: true, allErrors: true, logger: {log() {}, warn: complain, error: complain}});
  try {
    ajv.compile(JSON.parse(fs.readFileSync(path.join(folder, name + ".schema.json"), "utf8")));
  } catch (error) {
    complain(name + ".schema.json:", error.message);
  }
}
process.exit(problems === 0 ? 0 : 1);
