// The example suite: the shipped web console on a simulated engine daemon, in Debian's Chromium.
// Playwright's own browser download is not used: `executablePath` names the Chromium to run
// (CHROMIUM, else /usr/bin/chromium). The fixture finds pld-engined and pldweb through
// PLD_ENGINED and PLDWEB, else on PATH.
const {defineConfig} = require('@playwright/test');

module.exports = defineConfig({
  testDir : __dirname,
  testMatch : '*.test.js',
  // Each worker starts a daemon and a console of its own; one is plenty for three tests.
  workers : 1,
  timeout : 30000,
  reporter : 'list',
  outputDir : process.env.PLAYWRIGHT_OUTPUT_DIR || 'test-results',
  use : {
    launchOptions : {
      executablePath : process.env.CHROMIUM || '/usr/bin/chromium',
      // --disable-dev-shm-usage: a container's /dev/shm is often too small.
      args :
           [
             '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
             '--disable-sync', '--disable-background-networking', '--disable-component-update',
             '--disable-dev-shm-usage'
           ],
    },
  },
});
