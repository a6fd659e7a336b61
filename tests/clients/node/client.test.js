'use strict';
// The Node client against a real pld-engined (PLD_ENGINED): the control commands of the table
// both clients' suites read, the protocol version against fake daemons of the test's own, the
// deadlines when the daemon dies or says nothing, a wait's failure, reads and writes, the feed
// and a scenario played on the frozen clock.

const assert = require('node:assert/strict');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const {after, before, describe, test} = require('node:test');
const {encode, decode} = require(require.resolve(
    '@msgpack/msgpack', {paths: [path.join(__dirname, '../../../tools/zvpld-node')]}));
const zvpld = require('../../../tools/zvpld-node');

const ROOT = path.resolve(__dirname, '../../..');
const CASES = JSON.parse(fs.readFileSync(path.join(__dirname, '../control-cases.json'))).cases;
const OVERHEAT = path.join(ROOT, 'examples/scenarios/overheat.json');
const methodOf =
    Object.fromEntries(Object.entries(require('../../../tools/zvpld-node/lib/client').kVerbs)
                           .map(([method, verb]) => [verb, method]));

describe('against the built-in catalogue', () => {
  let daemon, client;
  before(async () => {
    daemon = await zvpld.startEngine();
    client = await zvpld.Client.connect(daemon.socketPath);
  });
  after(async () => {
    client.close();
    await daemon.stop();
  });

  for (const c of CASES) {
    test(`control: ${c.name}`, async () => {
      await client.fullReset();
      for (const command of c.before || []) assert.equal((await client.command(command)).ok, true);
      const {do: verb, ...fields} = c.command;
      // A verb without a method (an unknown one) goes as it is.
      const call = verb === 'wait' ? () => client.wait(fields) :
          methodOf[verb]           ? () => client[methodOf[verb]](fields) :
                                     () => client.command(c.command);
      if (c.expect.ok || !methodOf[verb] && verb !== 'wait') {
        const answer = await call();
        for (const [k, v] of Object.entries(c.expect)) assert.deepEqual(answer[k], v, k);
      } else {
        await assert.rejects(call, (e) => {
          assert.ok(e instanceof zvpld.ControlRefused, e.stack);
          assert.equal(e.message, c.expect.error);
          assert.deepEqual(e.command, c.command);
          return true;
        });
      }
    });
  }

  test('a wait that times out says what it waited for and what the journal holds', async () => {
    await client.fullReset();
    const since = await client.mark();
    await client.read(1, 100);
    const wait = (fields) => client.wait({since, timeout_ms: 50, ...fields});
    await assert.rejects(
        wait({op: 'GetVelPntStr', device: 2}),
        (e) => e instanceof zvpld.WaitTimedOut &&
            e.message.startsWith(
                `waited 50 ms for 1 call of GetVelPntStr on device 2 since #${since}, saw 0; ` +
                `the journal since #${since} holds none such; its last: #${since + 1} ` +
                'GetVelPntStr device 1 point 100 module 0 status 0 (client '));
    await assert.rejects(
        wait({op: 'GetVelPntStr', device: 1, count: 2}),
        (e) => e.message.startsWith(
            `waited 50 ms for 2 calls of GetVelPntStr on device 1 since #${since}, ` +
            `saw 1; the journal since #${since} holds 1 such: #${since + 1} GetVelPntStr`));
  });

  // [what, the call, its value or the status it fails with]
  const calls = [
    ['a read', (c) => c.read(1, 100), '61.5'],
    [
      'a write read back',
      async (c) => {
        await c.write(1, 101, 61);
        return c.read(1, 101);
      },
      '61.0'
    ],
    ['a read of the second module', (c) => c.read(2, 200, 2), '55'],
    ['a read of a device offline', (c) => c.read(3, 300), 1007],
    ['a write of a text the point refuses', (c) => c.write(1, 101, 'hot'), 5],
  ];
  for (const [what, call, expected] of calls) {
    test(`engine call: ${what}`, async () => {
      await client.fullReset();
      if (typeof expected === 'string') return assert.equal(await call(client), expected);
      return assert.rejects(
          call(client), (e) => e instanceof zvpld.EngineStatus && e.status === expected);
    });
  }

  test('the feed tells each change, also those made while a reply was awaited', async () => {
    const other = await zvpld.Client.connect(daemon.socketPath, {name: 'other'});
    try {
      await client.subscribe();
      await other.offline({device: 1});
      await client.status();  // the event arrives before this reply and waits in the queue
      const {value: event} = await client.events().next();
      assert.deepEqual(
          [event.do, event.done, event.origin.name], ['offline', 'device 1 offline', 'other']);
      await assert.rejects(client.nextEvent(() => false, {timeoutMs: 50}), zvpld.DeadlineMissed);
    } finally {
      other.close();
      await client.unsubscribe();
    }
  });

  test('a scenario plays on the frozen clock, each step told by the feed', async () => {
    await client.fullReset();
    await client.freeze();
    const other = await zvpld.Client.connect(daemon.socketPath);
    try {
      await other.subscribe();
      const start = (await client.status()).clock.ms;
      const {played} = await client.playScenario(OVERHEAT);
      assert.equal(played.length, 5);
      assert.deepEqual((await client.status()).clock, {frozen: true, ms: start + 60000, speed: 1});
      const step = await other.nextEvent((e) => e.event === 'step' && e.step === 2);
      assert.deepEqual(
          [step.scenario, step.at_ms, step.answer.done], ['overheat', 24000, 'event 1 in state 1']);
    } finally {
      other.close();
      await client.runClock();
    }
  });

  test('a request longer than the daemon reads is not sent, and the connection stays', async () => {
    await assert.rejects(
        client.set({device: 1, point: 101, value: 'x'.repeat(20000)}),
        /takes 20056 bytes, more than the 16384 a request may: not sent$/);
    assert.equal((await client.status()).ok, true);
  });

  test('a scenario that is no regular file is refused before anything is sent', async () => {
    await assert.rejects(client.playScenario(ROOT), /is not a regular file|not a regular file/);
  });
});

// A Unix socket server of the test's own, answering the ask as `answer` says (null: never).
async function fakeDaemon(answer) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-fake-'));
  const socketPath = path.join(dir, 'fake.sock');
  const server = net.createServer((s) => s.once('data', (frame) => {
    const request = decode(frame.subarray(4));
    if (answer === null) return;
    const body = encode({id: request.id, status: 0, answer: null, ...answer});
    const head = Buffer.alloc(4);
    head.writeUInt32BE(body.length);
    s.write(Buffer.concat([head, body]));
  }));
  await new Promise((resolve) => {
    server.listen(socketPath, resolve);
  });
  return {
    socketPath,
    stop() {
      server.close();
      fs.rmSync(dir, {recursive: true, force: true});
    },
  };
}

// [what, the fake's answer to the ask, the error class, its message with PATH for the socket]
const fakes = [
  [
    'another version', {protocol: 2}, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks protocol 2; this client speaks protocol 1'
  ],
  [
    'no version', {}, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks no protocol version; this client speaks protocol 1'
  ],
  [
    'no answer', null, zvpld.DeadlineMissed,
    'the engine daemon at PATH did not answer for control within 200 ms'
  ],
];
for (const [what, answer, type, message] of fakes) {
  test(`a daemon with ${what} is refused`, {timeout: 5000}, async () => {
    const fake = await fakeDaemon(answer);
    try {
      await assert.rejects(
          zvpld.Client.connect(fake.socketPath, {timeoutMs: 200}),
          (e) => e instanceof type && e.message === message.replace('PATH', fake.socketPath));
    } finally {
      fake.stop();
    }
  });
}

test(
    'a socket of another user is refused as an impostor', {skip: process.geteuid() !== 0},
    async () => {
      const fake = await fakeDaemon({protocol: 1});
      try {
        fs.chownSync(fake.socketPath, 4242, 4242);
        await assert.rejects(
            zvpld.Client.connect(fake.socketPath),
            (e) => e instanceof zvpld.PeerRefused &&
                e.message.includes('is served by uid 4242, neither this user (uid 0) nor root'));
      } finally {
        fake.stop();
      }
    });

// A daemon killed during a call, or between calls, fails the call at once: no deadline runs out.
const kills = [
  [
    'while a wait is pending',
    async (c, kill) => {
      const pending = c.wait({op: 'GetVelPntStr', device: 2, timeout_ms: 60000});
      pending.catch(() => {});  // looked at once the daemon is dead
      await c.status();         // the wait is held by the daemon now
      await kill();
      return pending;
    },
    /asked \{"do":"wait"/
  ],
  [
    'while idle',
    async (c, kill) => {
      await kill();
      return c.status();
    },
    /asked \{"do":"status"\}/
  ],
];
for (const [when, call, asked] of kills) {
  test(`a daemon killed ${when} fails the call`, {timeout: 5000}, async () => {
    const daemon = await zvpld.startEngine();
    const client = await zvpld.Client.connect(daemon.socketPath);
    const kill = () => new Promise((resolve) => {
      daemon.process.once('exit', resolve);
      daemon.process.kill('SIGKILL');
    });
    try {
      await assert.rejects(
          call(client, kill),
          (e) => e instanceof zvpld.EngineGone && e.message.includes(daemon.socketPath) &&
              asked.test(e.message));
    } finally {
      client.close();
      await daemon.stop();
    }
  });
}
