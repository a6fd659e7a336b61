'use strict';
// The client a test holds: one control connection to the engine daemon, a method for each
// control verb, the journal's wait with a failure that says what the journal saw, the two
// engine calls a test needs (read and write a point's text), and the event feed.

const {Connection, decodeMarkingFloats, kBody} = require('./connection');
const {
  EngineError,
  EngineGone,
  DeadlineMissed,
  ProtocolMismatch,
  ControlRefused,
  WaitTimedOut,
  EngineStatus,
} = require('./errors');

const PROTOCOL_VERSION = 1;
// A wait's reply comes at its timeout at the latest; the margin covers the trip and the loop.
const kWaitMarginMs = 2000;
// The room given to the engine for a point's text: more than any text it holds. A longer text
// in the reply is the daemon's fault.
const kTextSize = 1024;
// What a wait's failure lists of the journal: its calls that match, else its last calls.
const kMatchingShown = 8;
const kEntriesShown = 5;

// The control verbs whose method is the plain command; `wait` has one of its own.
const kVerbs = {
  offline: 'offline',
  online: 'online',
  fail: 'fail',
  delay: 'delay',
  stall: 'stall',
  release: 'release',
  plant: 'plant',
  set: 'set',
  burst: 'burst',
  pldCount: 'pld_count',
  notify: 'notify',
  event: 'event',
  reportParent: 'report_parent',
  clear: 'clear',
  restart: 'restart',
  reset: 'reset',
  status: 'status',
  journal: 'journal',
  journalClear: 'journal_clear',
  clock: 'clock',
};

// A command as an error shows it: its start, not a whole text of someone's.
function shown(value) {
  const text = JSON.stringify(value);
  return text.length > 200 ? `${text.slice(0, 200)}...` : text;
}

function pointOf(device, point, module) {
  if (!Number.isInteger(module) || module < 1) {
    throw new RangeError(`module must be an integer from 1, not ${module}`);
  }
  return {
    auxIdx: 0,
    auxParam: 0,
    auxText: null,
    deviceIdx: device,
    gddId: point,
    mmIdx: module - 1,
    uofm: 0,
  };
}

const anyEvent = () => true;

// A number as the daemon sent it: a float (decoded as {float}) shows as one.
function numberText(value) {
  if (value === null || typeof value !== 'object' || !('float' in value)) return shown(value);
  return Number.isInteger(value.float) ? value.float.toFixed(1) : String(value.float);
}

function entryText(e) {
  const where = ['device', 'point'].filter((k) => k in e).map((k) => ` ${k} ${e[k]}`).join('');
  return `#${e.seq} ${e.op}${where} status ${e.status}`;
}

class Client {
  // A client connected to the daemon at `socketPath`, control asked for under `name`.
  static async connect(socketPath, {name = 'zvpld-node', timeoutMs = 5000} = {}) {
    const connection = await Connection.open(socketPath, timeoutMs);
    const client = new Client(connection, timeoutMs);
    client.m_name = name;
    try {
      await client.ask(connection);
    } catch (e) {
      connection.close();
      throw e;
    }
    return client;
  }

  constructor(connection, timeoutMs) {
    this.m_connection = connection;
    this.socketPath = connection.path;
    this.timeoutMs = timeoutMs;
    this.m_name = 'zvpld-node';
    this.m_subscribed = false;
    this.m_reconnect = false;  // the daemon dropped the connection at a restart it was asked
  }

  async ask(connection) {
    const reply = await connection.request(
        {op: 'Control', ask: true, name: this.m_name}, 'for control', this.timeoutMs);
    // Decoded again for its floats: 1.0 is no version, nor status 0.0 a grant.
    const {status, protocol} = decodeMarkingFloats(reply[kBody]);
    const at = `the engine daemon at ${this.socketPath}`;
    if (status !== 0) throw new EngineError(`${at} refused control: status ${numberText(status)}`);
    if (protocol !== PROTOCOL_VERSION) {
      throw new ProtocolMismatch(
          (protocol === undefined || protocol === null ?
               `${at} speaks no protocol version` :
               `${at} speaks protocol ${numberText(protocol)}`) +
          `; this client speaks protocol ${PROTOCOL_VERSION}`);
    }
  }

  // The connection, opened again after a restart that dropped it, subscribed again if it was.
  async connection() {
    if (this.m_reconnect) {
      this.m_reconnect = false;
      const old = this.m_connection;
      const connection = await Connection.open(this.socketPath, this.timeoutMs);
      try {
        await this.ask(connection);
      } catch (e) {
        connection.close();
        throw e;
      }
      connection.takeEvents(old);
      this.m_connection = connection;
      if (this.m_subscribed) await this.subscribe(true);
    }
    return this.m_connection;
  }

  async request(message, what, deadlineMs) {
    return (await this.connection()).request(message, what, deadlineMs);
  }

  // The daemon drops every connection as it restarts: the next call connects again.
  async restart(fields = {}) {
    const answer = await this.control('restart', fields);
    this.m_reconnect = true;
    this.m_connection.close();
    return answer;
  }

  // The engine's answer to one command, whatever it says.
  async command(command, {deadlineMs = this.timeoutMs, step} = {}) {
    const message = {op: 'Control', command};
    if (step) message.step = step;
    const what = shown(command);
    const reply = await this.request(message, what, deadlineMs);
    if (reply.answer === null || typeof reply.answer !== 'object') {
      throw new EngineError(
          `the engine daemon at ${this.socketPath} answered ${what} with ` +
          `status ${reply.status} and no answer`);
    }
    return reply.answer;
  }

  // The answer of a command the engine took; ControlRefused with its error otherwise.
  async control(verb, fields = {}, options = {}) {
    const command = {do: verb, ...fields};
    const answer = await this.command(command, options);
    if (answer.ok !== true) throw new ControlRefused(String(answer.error), command, answer);
    return answer;
  }

  async wait(fields = {}) {
    const command = {do: 'wait', ...fields};
    // Without a timeout of its own the wait is refused at once.
    const timeoutMs = Number.isInteger(fields.timeout_ms) ? fields.timeout_ms : null;
    const deadlineMs = timeoutMs === null ? this.timeoutMs : timeoutMs + kWaitMarginMs;
    const answer = await this.command(command, {deadlineMs});
    if (answer.ok === true) return answer;
    if (!('seen' in answer)) throw new ControlRefused(String(answer.error), command, answer);
    throw new WaitTimedOut(await this.waitStory(fields, timeoutMs, answer), command, answer);
  }

  // What a wait expected and what the journal holds instead, worded as the Python client words
  // it: the journal's calls of the same filters, else its last calls of any op.
  async waitStory(fields, timeoutMs, answer) {
    const filters = {};
    for (const k of ['op', 'device', 'point', 'client', 'since']) {
      if (fields[k] !== undefined) filters[k] = fields[k];
    }
    const count = fields.count ?? 1;
    const what = `${count} call${count === 1 ? '' : 's'} of ${filters.op ?? 'any op'}` +
        (filters.device !== undefined ? ` on device ${filters.device}` : '') +
        (filters.point !== undefined ? ` point ${filters.point}` : '') +
        (filters.client !== undefined ? ` by client ${filters.client}` : '');
    const mark =
        filters.since !== undefined ? `since #${filters.since}` : 'since the journal began';
    const story = `waited ${timeoutMs} ms for ${what} ${mark}, saw ${answer.seen ?? '?'}; ` +
        `the journal ${mark} holds: `;
    let same;
    try {
      same = await this.control('journal', {...filters, limit: kMatchingShown});
    } catch (e) {
      return `${story}(unreadable: ${e.message})`;
    }
    if (same.count) return story + same.entries.map(entryText).join(', ');
    let last;
    try {
      last = await this.control('journal', {
        since: Math.max(filters.since ?? 0, same.last - kEntriesShown),
        limit: kEntriesShown,
      });
    } catch (e) {
      return `${story}nothing that matches (the rest unreadable: ${e.message})`;
    }
    return story +
        (last.entries.length === 0 ?
             'no call at all' :
             `nothing that matches; its last calls: ${last.entries.map(entryText).join(', ')}`);
  }

  freeze() {
    return this.clock({action: 'freeze'});
  }
  advance(ms) {
    return this.clock({action: 'advance', ms});
  }
  runClock(speed = 1) {
    return this.clock({action: 'run', speed});
  }
  fullReset(fields = {}) {
    return this.reset({...fields, catalogue: true});
  }

  // The journal's newest sequence number: what a later wait or journal goes `since`.
  async mark() {
    return (await this.journal({limit: 0})).last;
  }

  // The point's value as the engine's text (GetVelPntStr); `module` counts from 1.
  async read(device, point, module = 1) {
    const what = `GetVelPntStr of device ${device} point ${point} module ${module}`;
    const reply = await this.request(
        {op: 'GetVelPntStr', pnt: pointOf(device, point, module), size: kTextSize}, what,
        this.timeoutMs);
    if (reply.status !== 0) {
      throw new EngineStatus(`${what} answered status ${reply.status}`, reply.status);
    }
    if (!(reply.text instanceof Uint8Array) || reply.text.length > kTextSize) {
      throw new EngineGone(
          `the engine daemon at ${this.socketPath} sent a malformed frame: ${what}'s text must ` +
          `be at most ${kTextSize} bytes`);
    }
    return Buffer.from(reply.text).toString('utf8');
  }

  // Writes the point's value as a text (SetVelPntStr); `module` counts from 1.
  async write(device, point, value, module = 1) {
    const what = `SetVelPntStr of device ${device} point ${point} module ${module}`;
    const reply = await this.request(
        {
          op: 'SetVelPntStr',
          pnt: pointOf(device, point, module),
          value: String(value),
          setParam: 0
        },
        what, this.timeoutMs);
    if (reply.status !== 0) {
      throw new EngineStatus(`${what} answered status ${reply.status}`, reply.status);
    }
  }

  // From now on the engine's events queue on this connection, for events() and nextEvent().
  async subscribe(on = true) {
    const connection = await this.connection();
    connection.subscribed = on;
    this.m_subscribed = on;
    const reply =
        await connection.request({op: 'Control', subscribe: on}, `subscribe ${on}`, this.timeoutMs);
    if (reply.status === 5) {
      throw new EngineError(`the engine daemon at ${this.socketPath} has no event feed`);
    }
    if (reply.status !== 0) {
      throw new EngineError(
          `the engine daemon at ${this.socketPath} refused subscribe: status ${reply.status}`);
    }
  }

  unsubscribe() {
    return this.subscribe(false);
  }

  checkSubscribed() {
    if (!this.m_subscribed) {
      throw new EngineError('events() needs subscribe() first, before the changes to see');
    }
  }

  // The feed's events as they come; DeadlineMissed when none comes within `timeoutMs`.
  events({timeoutMs = this.timeoutMs} = {}) {
    this.checkSubscribed();  // now, not at the first next()
    return this.eventsFrom(timeoutMs);
  }

  async * eventsFrom(timeoutMs) {
    for (;;) yield await this.nextEvent(anyEvent, {timeoutMs});
  }

  // The first event `predicate` accepts, within `timeoutMs`; those before it are passed over.
  async nextEvent(predicate = anyEvent, {timeoutMs = this.timeoutMs} = {}) {
    this.checkSubscribed();
    const due = Date.now() + timeoutMs;
    for (;;) {
      const event = await (await this.connection()).nextEvent(Math.max(0, due - Date.now()));
      if (event === null) {
        throw new DeadlineMissed(
            `no event${predicate === anyEvent ? '' : ' that the predicate accepts'} came ` +
            `from the engine daemon at ${this.socketPath} within ${timeoutMs} ms`);
      }
      if (predicate(event)) return event;
    }
  }

  playScenario(path, options) {
    return require('./scenario').playScenario(this, path, options);
  }

  close() {
    this.m_connection.close();
  }
}

for (const [method, verb] of Object.entries(kVerbs)) {
  if (Client.prototype[method]) continue;  // its own method
  Client.prototype[method] = function control(fields = {}) {
    return this.control(verb, fields);
  };
}

module.exports = {
  Client,
  PROTOCOL_VERSION,
  kVerbs
};
