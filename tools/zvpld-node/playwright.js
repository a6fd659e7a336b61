'use strict';
// The Playwright fixture: `engine`, a client of a daemon that the worker starts once (fully
// reset before each test), and `console`, the web console on that daemon. The daemon's
// catalogue and seed are the options `pldCatalogue` and `pldSeed` (else PLD_CATALOGUE and
// PLD_SEED), its clock as each test starts `pldClock`; the programs PLD_ENGINED and PLDWEB, else
// those on PATH.

const {Client} = require('./lib/client');
const {startEngine, startConsole} = require('./lib/processes');

// The test suite's own @playwright/test: this package may be linked from elsewhere (a file:
// dependency), and Playwright refuses to be loaded twice.
function playwright() {
  try {
    return require('@playwright/test');
  } catch (e) {
    if (e.code !== 'MODULE_NOT_FOUND') throw e;
    return require(require.resolve('@playwright/test', {paths: [process.cwd()]}));
  }
}

const base = playwright();

const test = base.test.extend({
  pldCatalogue: [process.env.PLD_CATALOGUE || '', {option: true, scope: 'worker'}],
  pldSeed: [Number(process.env.PLD_SEED || 1), {option: true, scope: 'worker'}],
  // The engine's clock as each test starts: a full reset leaves it as the test before left it.
  pldClock: ['run', {option: true}],

  pldDaemon: [
    async ({pldCatalogue, pldSeed}, use) => {
      const daemon = await startEngine({catalogue: pldCatalogue || undefined, seed: pldSeed});
      try {
        await use(daemon);
      } finally {
        await daemon.stop();
      }
    },
    {scope: 'worker'}
  ],

  console: [
    async ({pldDaemon, pldCatalogue}, use) => {
      const web = await startConsole({
        socketPath: pldDaemon.socketPath,
        catalogue: pldCatalogue || undefined,
      });
      try {
        await use(web);
      } finally {
        await web.stop();
      }
    },
    {scope: 'worker'}
  ],

  engine: async ({pldDaemon, pldClock}, use) => {
    const client = await Client.connect(pldDaemon.socketPath, {name: 'zvpld-playwright'});
    try {
      await client.fullReset();
      await (pldClock === 'frozen' ? client.freeze() : client.runClock(1));
      await use(client);
    } finally {
      client.close();
    }
  },
});

const {expect} = base;
module.exports = {
  test,
  expect
};
