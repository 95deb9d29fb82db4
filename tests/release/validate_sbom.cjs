// Checks an SBOM against CycloneDX 1.6 with the CycloneDX library's strict JSON validator, the
// npm package that scripts/install-deps.sh --test-tools puts in build/npm.
//   node tests/release/validate_sbom.cjs NPM_PREFIX SBOM
// Prints the validator's findings and exits 1 when there are any.
"use strict";
const { readFileSync } = require("node:fs");
const { resolve } = require("node:path");

const [prefix, file] = process.argv.slice(2);
const cdx = require(require.resolve("@cyclonedx/cyclonedx-library", { paths: [resolve(prefix)] }));
const version = "1.6"; // the CycloneDX version the release writes
new cdx.Validation.JsonStrictValidator(version)
  .validate(readFileSync(file, "utf8"))
  .then((findings) => {
    console.log(findings ? JSON.stringify(findings, null, 2) : `${file}: valid CycloneDX ${version}`,
    );
    process.exitCode = findings ? 1 : 0;
  });
