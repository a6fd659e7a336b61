'use strict';
// run.js client|examples|pack: one of the Node client's suites, with PLD_ENGINED and PLDWEB from
// the environment; exits 77 (skipped) when what it runs on is not installed.
const fs = require('node:fs');
const path = require('node:path');
const {spawnSync} = require('node:child_process');

const ROOT = path.resolve(__dirname, '../../..');
const CHROMIUM = process.env.CHROMIUM || '/usr/bin/chromium';
const PACKAGE = path.join(ROOT, 'tools/zvpld-node/node_modules/@msgpack/msgpack');
const EXAMPLES = path.join(ROOT, 'examples/playwright');
const PLAYWRIGHT = path.join(EXAMPLES, 'node_modules/@playwright/test/cli.js');

const suites = {
  client: {needs: [PACKAGE], args: ['--test', path.join(__dirname, 'client.test.js')]},
  examples: {needs: [PACKAGE, PLAYWRIGHT, CHROMIUM], args: [PLAYWRIGHT, 'test'], cwd: EXAMPLES},
  pack: {needs: [CHROMIUM], args: ['--test', path.join(__dirname, 'pack.test.js')]},
};
const suite = suites[process.argv[2]];
const missing = suite.needs.filter((p) => !fs.existsSync(p));
if (missing.length > 0) {
  console.log(`skipped: ${missing.join(', ')} missing (make node-modules installs the packages)`);
  process.exit(77);
}
const run = spawnSync(process.execPath, suite.args, {stdio: 'inherit', cwd: suite.cwd || ROOT});
process.exit(run.status === null ? 1 : run.status);
