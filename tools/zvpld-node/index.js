'use strict';
// @zvpld/testbench: a client of the PLD engine daemon's control protocol for tests, and what
// starts the daemon and the web console for them. The Playwright fixture is
// '@zvpld/testbench/playwright'.

const {Client, PROTOCOL_VERSION} = require('./lib/client');
const {readScenario} = require('./lib/scenario');
const {startEngine, startConsole} = require('./lib/processes');
const errors = require('./lib/errors');

module.exports = {
  Client,
  PROTOCOL_VERSION,
  readScenario,
  startEngine,
  startConsole,
  ...errors
};
