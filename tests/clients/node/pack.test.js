'use strict';
// The package as a user gets it: `npm pack`, its tarball installed into an empty folder beside
// @playwright/test, and an example test run there with the example's config.
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const {execFileSync} = require('node:child_process');
const {test} = require('node:test');

const ROOT = path.resolve(__dirname, '../../..');
const EXAMPLES = path.join(ROOT, 'examples/playwright');

test(
    'the packed tarball installs into an empty folder and runs an example', {timeout: 600000},
    (t) => {
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-pack-'));
      t.after(() => fs.rmSync(dir, {recursive: true, force: true}));
      const npm = (args, cwd) =>
          execFileSync('npm', [...args, '--no-audit', '--no-fund'], {cwd, encoding: 'utf8'});
      const tarball =
          npm(['pack', '--pack-destination', dir, path.join(ROOT, 'tools/zvpld-node')], ROOT)
              .trim()
              .split('\n')
              .pop();
      const app = path.join(dir, 'app');
      fs.mkdirSync(app);
      fs.writeFileSync(path.join(app, 'package.json'), '{"private": true}\n');
      const playwright = JSON.parse(fs.readFileSync(path.join(EXAMPLES, 'package.json')))
                             .devDependencies['@playwright/test'];
      npm(['install', path.join(dir, tarball), `@playwright/test@${playwright}`], app);
      for (const file of ['playwright.config.js', 'offline.test.js']) {
        fs.copyFileSync(path.join(EXAMPLES, file), path.join(app, file));
      }
      assert.ok(!fs.lstatSync(path.join(app, 'node_modules/@zvpld/testbench')).isSymbolicLink());
      execFileSync(
          process.execPath, ['node_modules/@playwright/test/cli.js', 'test'],
          {cwd: app, stdio: 'inherit'});
    });
