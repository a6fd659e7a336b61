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
const {Connection} = require('../../../tools/zvpld-node/lib/connection');

const ROOT = path.resolve(__dirname, '../../..');
const CASES = JSON.parse(fs.readFileSync(path.join(__dirname, '../control-cases.json'))).cases;
const OVERHEAT = path.join(ROOT, 'examples/scenarios/overheat.json');
const BAD_SCENARIOS =
    JSON.parse(fs.readFileSync(path.join(__dirname, '../bad-scenarios.json'))).cases;
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

  // [the reads before, the count awaited, what the journal holds (#{1}: the first after the mark)]
  const waits = [
    [
      [[1, 100]], 1,
      'nothing that matches; its last calls: #{1} GetVelPntStr device 1 point 100 status 0'
    ],
    [[[2, 200], [1, 100]], 2, '#{1} GetVelPntStr device 2 point 200 status 0'],
    [[], 1, 'no call at all'],
  ];
  for (const [reads, count, holds] of waits) {
    test(`a wait that times out after ${reads.length} reads tells what came`, async () => {
      await client.fullReset();
      const since = await client.mark();
      for (const read of reads) await client.read(...read);
      await assert.rejects(
          client.wait({op: 'GetVelPntStr', device: 2, count, since, timeout_ms: 100}), (e) => {
            assert.ok(e instanceof zvpld.WaitTimedOut, e.stack);
            assert.equal(
                e.message,
                `waited 100 ms for ${count === 1 ? '1 call' : `${count} calls`} of GetVelPntStr ` +
                    `on device 2 since #${since}, saw ${count === 2 ? reads.length - 1 : 0}; ` +
                    `the journal since #${since} holds: ${holds.replace('{1}', since + 1)}`);
            return true;
          });
    });
  }

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
    [
      'a wait longer than the client\'s timeout, met by a call of another connection',
      async (c) => {
        const quick = await zvpld.Client.connect(daemon.socketPath, {timeoutMs: 200});
        try {
          const since = await c.mark();
          setTimeout(() => c.read(1, 100), 500);
          return String((await quick.wait({op: 'GetVelPntStr', since, timeout_ms: 3000})).seen);
        } finally {
          quick.close();
        }
      },
      '1'
    ],
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
      assert.throws(() => client.events(), /needs subscribe\(\) first/);
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

  test('the console serves a token of its own, whatever PLDWEB_TOKEN holds', async () => {
    process.env.PLDWEB_TOKEN = 'an-inherited.token~of_the_user';
    let web;
    try {
      web = await zvpld.startConsole({socketPath: daemon.socketPath});
      assert.equal(web.url, `${web.base}/?token=${web.token}`);
      assert.ok(web.token.length >= 16 && !web.token.includes('inherited'), web.token);
    } finally {
      delete process.env.PLDWEB_TOKEN;
      await web?.stop();
    }
  });

  for (const c of BAD_SCENARIOS) {
    test(`a scenario file with ${c.name} is refused before anything is sent`, async () => {
      const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-scenario-'));
      const file = path.join(dir, 'bad.json');
      fs.writeFileSync(file, JSON.stringify(c.file));
      try {
        await assert.rejects(
            client.playScenario(file),
            (e) => [file, `step ${c.step}`, c.field].every((part) => e.message.includes(part)));
      } finally {
        fs.rmSync(dir, {recursive: true, force: true});
      }
    });
  }
});

// A map's frame; a value {float: x} goes as a float64, which encode() makes an integer of.
function frameOf(map) {
  const parts = [Buffer.from([0x80 | Object.keys(map).length])];
  for (const [key, value] of Object.entries(map)) {
    parts.push(encode(key));
    if (value !== null && typeof value === 'object' && 'float' in value) {
      const float = Buffer.alloc(9, 0xcb);
      float.writeDoubleBE(value.float, 1);
      parts.push(float);
    } else {
      parts.push(encode(value));
    }
  }
  const body = Buffer.concat(parts);
  const head = Buffer.alloc(4);
  head.writeUInt32BE(body.length);
  return Buffer.concat([head, body]);
}

// A Unix socket server of the test's own, answering the ask as `answer` says (null: never), and
// the next request with the bytes `then(its id)` if given.
async function fakeDaemon(answer, then) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-fake-'));
  const socketPath = path.join(dir, 'fake.sock');
  const server = net.createServer((s) => {
    const replies = [(id) => answer && frameOf({id, status: 0, answer: null, ...answer}), then];
    s.on('data', (frame) => {
      const reply = replies.shift();
      if (reply) s.write(reply(decode(frame.subarray(4)).id) || Buffer.alloc(0));
    });
  });
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

const ASKED = {
  protocol: 1
};
const TOO_LONG = Buffer.from([0x7f, 0xff, 0xff, 0xff, 0x80]);
const NOT_MSGPACK = Buffer.from([0, 0, 0, 3, 0xc1, 0xc1, 0xc1]);
// [what, the fake's answer to the ask, its reply to a read (bytes of its id), the error class,
// its message with PATH for the socket]
const fakes = [
  [
    'another version', {protocol: 2}, null, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks protocol 2; this client speaks protocol 1'
  ],
  [
    'no version', {}, null, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks no protocol version; this client speaks protocol 1'
  ],
  [
    'no answer', null, null, zvpld.DeadlineMissed,
    'the engine daemon at PATH did not answer for control within 200 ms'
  ],
  [
    'version true', {protocol: true}, null, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks protocol true; this client speaks protocol 1'
  ],
  [
    'version 1.0', {protocol: {float: 1}}, null, zvpld.ProtocolMismatch,
    'the engine daemon at PATH speaks protocol 1.0; this client speaks protocol 1'
  ],
  [
    'status 0.0', {status: {float: 0}, protocol: 1}, null, zvpld.EngineError,
    'the engine daemon at PATH refused control: status 0.0'
  ],
  [
    'a text longer than the room asked', ASKED,
    (id) => frameOf({id, status: 0, text: Buffer.alloc(1025, 0x31)}), zvpld.EngineGone,
    'the engine daemon at PATH sent a malformed frame: GetVelPntStr of device 1 point 100 ' +
        'module 1\'s text must be at most 1024 bytes'
  ],
  [
    'a frame longer than the limit', ASKED, () => TOO_LONG, zvpld.EngineGone,
    'the engine daemon at PATH: it sent a frame of 2147483647 bytes (asked GetVelPntStr of ' +
        'device 1 point 100 module 1)'
  ],
  [
    'a frame that is not MessagePack', ASKED, () => NOT_MSGPACK, zvpld.EngineGone,
    'the engine daemon at PATH: it sent a frame that is not MessagePack'
  ],
  [
    'a frame cut short, then silence', ASKED,
    (id) => frameOf({id, status: 0, text: Buffer.from('1')}).subarray(0, 6), zvpld.DeadlineMissed,
    'the engine daemon at PATH did not answer GetVelPntStr of device 1 point 100 module 1 ' +
        'within 200 ms'
  ],
];
for (const [what, answer, then, type, message] of fakes) {
  test(`a daemon with ${what} is refused`, {timeout: 5000}, async () => {
    const fake = await fakeDaemon(answer, then);
    const connectAndRead = async () => {
      const client = await zvpld.Client.connect(fake.socketPath, {timeoutMs: 200});
      try {
        await client.read(1, 100);
      } finally {
        client.close();
      }
    };
    try {
      await assert.rejects(
          connectAndRead(),
          (e) => e.constructor === type &&
              e.message.startsWith(message.replace('PATH', fake.socketPath)));
    } finally {
      fake.stop();
    }
  });
}

test(
    'a socket of another user is refused as an impostor', {skip: process.geteuid() !== 0},
    async () => {
      const fake = await fakeDaemon(ASKED);
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

// [the sizes of the events come, how many are kept, how many the first read counts lost]
const queues = [
  [Array(10001).fill(1), 10000, 1],
  [Array(5).fill(1 << 20), 4, 1],
  [[3 << 20, 2 << 20], 1, 1],
  [[9, 9], 2, 0],
];
for (const [sizes, kept, lost] of queues) {
  test(
      `the feed keeps ${kept} of ${sizes.length} events unread, the next read counting ${
          lost} lost`,
      async () => {
        const socket = new net.Socket();
        const connection = new Connection('/fake.sock', socket);
        connection.subscribed = true;
        sizes.forEach((size, n) => connection.queueEvent({n}, size));
        const first = await connection.nextEvent(0);
        assert.deepEqual(first, {n: sizes.length - kept, ...(lost ? {lost} : {})});
        if (kept > 1) assert.equal((await connection.nextEvent(0)).lost, undefined);
        socket.destroy();
      });
}

test('after a restart it asked for, the client connects again at its next call', async () => {
  const daemon = await zvpld.startEngine();
  const client = await zvpld.Client.connect(daemon.socketPath);
  try {
    await client.subscribe();
    assert.equal((await client.restart()).ok, true);
    assert.equal((await client.status()).ok, true);
    const other = await zvpld.Client.connect(daemon.socketPath, {name: 'after'});
    await other.offline({device: 1});
    other.close();
    assert.equal((await client.nextEvent((e) => e.do === 'offline')).origin.name, 'after');
  } finally {
    client.close();
    await daemon.stop();
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
