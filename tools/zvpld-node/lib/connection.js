'use strict';
// One Unix-socket connection to the engine daemon: frames of a 4-byte big-endian length and one
// MessagePack map, requests matched to their replies by id, each with a deadline, and the event
// feed's frames queued as they come (also while a reply is awaited) until they are read.

const fs = require('node:fs');
const net = require('node:net');
const {encode, decode, Decoder} = require('@msgpack/msgpack');
const {EngineError, EngineGone, DeadlineMissed, PeerRefused} = require('./errors');

// The daemon never writes a longer frame; a longer one is its fault, not a reason to buffer it.
const kMaxFrame = 1 << 20;
// The daemon reads no longer request.
const kMaxRequest = 16384;
// Events nobody reads are dropped past this many, or past this many bytes of their frames (one
// event may fill a frame), oldest first, and counted in the next one read.
const kMaxQueuedEvents = 10000;
const kMaxQueuedBytes = 4 << 20;
// Each message keeps its frame here, for a reader that must tell 1.0 from 1 (decode cannot).
const kBody = Symbol('body');

// Decodes floats as {float: value}: a field that must be an integer is then no number at all.
class FloatsMarked extends Decoder {
  readF32() {
    return {float: super.readF32()};
  }
  readF64() {
    return {float: super.readF64()};
  }
}

function decodeMarkingFloats(body) {
  return new FloatsMarked().decode(body);
}

// The socket file must be of this user or root: another user could have put a socket at the
// path and acknowledge writes that reach no engine. Node cannot read the peer's credentials
// (SO_PEERCRED), so the file's owner stands for them.
function checkOwner(path) {
  let stat;
  try {
    stat = fs.statSync(path);
  } catch (e) {
    throw new EngineGone(`no engine daemon at ${path}: ${e.message}`);
  }
  if (!stat.isSocket()) throw new EngineGone(`${path} is not a socket`);
  const own = process.geteuid();
  if (stat.uid !== own && stat.uid !== 0) {
    throw new PeerRefused(
        `the engine daemon at ${path} is served by uid ${stat.uid}, neither ` +
        `this user (uid ${own}) nor root: refused as an impostor`);
  }
}

class Connection {
  static open(path, timeoutMs) {
    checkOwner(path);
    return new Promise((resolve, reject) => {
      const socket = net.createConnection(path);
      const timer = setTimeout(() => {
        socket.destroy();
        reject(new DeadlineMissed(
            `the engine daemon at ${path} did not accept a connection ` +
            `within ${timeoutMs} ms`));
      }, timeoutMs);
      socket.once('error', (e) => {
        clearTimeout(timer);
        reject(new EngineGone(`cannot connect to the engine daemon at ${path}: ${e.message}`));
      });
      socket.once('connect', () => {
        clearTimeout(timer);
        resolve(new Connection(path, socket));
      });
    });
  }

  constructor(path, socket) {
    this.path = path;
    this.m_socket = socket;
    // An idle connection keeps no process alive; each call's deadline timer does meanwhile.
    socket.unref();
    this.m_buffer = Buffer.alloc(0);
    this.m_nextId = 1;
    this.m_pending = new Map();  // id -> { resolve, reject, timer }
    this.m_events = [];          // {event, size}
    this.m_queuedBytes = 0;
    this.m_lost = 0;
    this.subscribed = false;   // feed frames before a subscription are a daemon's fault: dropped
    this.m_eventWaiters = [];  // resolvers of readers waiting for the next event
    this.m_gone = null;        // the error every later call fails with
    socket.removeAllListeners('error');
    socket.on('data', (chunk) => this.received(chunk));
    socket.on('error', (e) => this.fail(`the connection failed: ${e.message}`));
    socket.on('close', () => this.fail('it closed the connection'));
  }

  // The reply to `message` (a map without id), or an EngineGone/DeadlineMissed naming `what`.
  request(message, what, deadlineMs) {
    if (this.m_gone) return Promise.reject(new EngineGone(`${this.m_gone} (asked ${what})`));
    const id = this.m_nextId++;
    // A field left undefined is left out, as the caller meant.
    const body = encode({id, ...message}, {ignoreUndefined: true});
    if (body.length > kMaxRequest) {
      // The daemon would drop the connection, failing every call in flight with it.
      return Promise.reject(new EngineError(
          `${what} takes ${body.length} bytes, more than the ` +
          `${kMaxRequest} a request may: not sent`));
    }
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.m_pending.delete(id);
        reject(new DeadlineMissed(
            `the engine daemon at ${this.path} did not answer ${what} ` +
            `within ${deadlineMs} ms`));
      }, deadlineMs);
      this.m_pending.set(id, {resolve, reject, timer, what});
      const head = Buffer.alloc(4);
      head.writeUInt32BE(body.length);
      this.m_socket.write(Buffer.concat([head, body]));
    });
  }

  // The next event of the feed, or null when none came within `timeoutMs`.
  nextEvent(timeoutMs) {
    if (this.m_events.length > 0) return Promise.resolve(this.dequeueEvent());
    if (this.m_gone) return Promise.reject(new EngineGone(this.m_gone));
    return new Promise((resolve, reject) => {
      const waiter = {resolve, reject};
      waiter.timer = setTimeout(() => {
        this.m_eventWaiters.splice(this.m_eventWaiters.indexOf(waiter), 1);
        resolve(null);
      }, timeoutMs);
      this.m_eventWaiters.push(waiter);
    });
  }

  close() {
    this.m_socket.destroy();
    this.fail('the client closed the connection');
  }

  received(chunk) {
    this.m_buffer = Buffer.concat([this.m_buffer, chunk]);
    while (this.m_buffer.length >= 4) {
      const length = this.m_buffer.readUInt32BE(0);
      if (length < 1 || length > kMaxFrame) return this.malformed(`a frame of ${length} bytes`);
      if (this.m_buffer.length < 4 + length) return undefined;
      const body = this.m_buffer.subarray(4, 4 + length);
      this.m_buffer = this.m_buffer.subarray(4 + length);
      let message;
      try {
        message = decode(body);
      } catch (e) {
        return this.malformed(`a frame that is not MessagePack (${e.message})`);
      }
      if (message === null || typeof message !== 'object' || Array.isArray(message)) {
        return this.malformed('a frame that is not a map');
      }
      Object.defineProperty(message, kBody, {value: body});
      this.dispatch(message);
    }
    return undefined;
  }

  dispatch(message) {
    if ('feed' in message)
      return this.subscribed ? this.queueEvent(message.feed, message[kBody].length) : undefined;
    if (!('id' in message)) return undefined;  // a notification: this client registers none
    const call = this.m_pending.get(message.id);
    if (!call) return undefined;  // its deadline passed
    this.m_pending.delete(message.id);
    clearTimeout(call.timer);
    call.resolve(message);
    return undefined;
  }

  queueEvent(event, size) {
    const waiter = this.m_eventWaiters.shift();
    if (waiter) {
      clearTimeout(waiter.timer);
      waiter.resolve(event);
      return;
    }
    this.m_events.push({event, size});
    this.m_queuedBytes += size;
    while (this.m_events.length > kMaxQueuedEvents || this.m_queuedBytes > kMaxQueuedBytes) {
      this.m_queuedBytes -= this.m_events.shift().size;
      this.m_lost++;
    }
  }

  // The oldest event queued, carrying the count of those dropped before it: the first a reader
  // sees after the gap.
  dequeueEvent() {
    const {event, size} = this.m_events.shift();
    this.m_queuedBytes -= size;
    if (this.m_lost > 0 && event && typeof event === 'object') {
      event.lost = (event.lost || 0) + this.m_lost;
      this.m_lost = 0;
    }
    return event;
  }

  // Events come before any reader but are not read yet, with those dropped: for a new connection.
  takeEvents(from) {
    this.m_lost += from.m_lost;
    for (const {event, size} of from.m_events) this.queueEvent(event, size);
  }

  malformed(what) {
    this.m_socket.destroy();
    this.fail(`it sent ${what}`);
  }

  // Every call in flight, and every later one, fails with what happened.
  fail(why) {
    if (this.m_gone) return;
    this.m_gone = `the engine daemon at ${this.path}: ${why}`;
    for (const call of this.m_pending.values()) {
      clearTimeout(call.timer);
      call.reject(new EngineGone(`${this.m_gone} (asked ${call.what})`));
    }
    this.m_pending.clear();
    for (const waiter of this.m_eventWaiters.splice(0)) {
      clearTimeout(waiter.timer);
      waiter.reject(new EngineGone(this.m_gone));
    }
  }
}

module.exports = {
  Connection,
  decodeMarkingFloats,
  kBody,
  kMaxFrame,
  kMaxQueuedBytes,
  kMaxQueuedEvents
};
