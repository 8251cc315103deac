// SPDX-License-Identifier: BSD-2-Clause
// Validates CycloneDX 1.6 JSON documents against the schema that CycloneDX's
// own library ships, strictly (no property the schema does not name).
//
//   node validate.js FILE...     exit status 0 all valid, 1 otherwise
"use strict";
const fs = require("fs");
const CDX = require("@cyclonedx/cyclonedx-library");

// The library names its versions by their number.
const cyclonedxVersion = "1.6";

async function main(files) {
    const validator = new CDX.Validation.JsonStrictValidator(cyclonedxVersion);
    let failed = false;
    for (const file of files) {
        const errors = await validator.validate(fs.readFileSync(file, "utf8"));
        if (errors === null) {
            console.log(`${file}: valid CycloneDX 1.6`);
            continue;
        }
        failed = true;
        console.log(`${file}: invalid:`);
        for (const error of Array.isArray(errors) ? errors : [errors])
            console.log(`  ${error.instancePath || "/"} ${error.message || JSON.stringify(error)}`);
    }
    return failed ? 1 : 0;
}

main(process.argv.slice(2)).then(
    (status) => process.exit(status),
    (error) => {
        console.log(`validate.js: ${error.message}`);
        process.exit(1);
    });
