'use strict';
// Plays a scenario file through a client as the control client does: a reset to the file's
// seed, then each step's command at its time on the engine's clock, told to the daemon as that
// step so that its event feed says so. A frozen clock is advanced to each step's time, so the
// scenario plays in well under a second; a running one is waited on. One pass: `repeat` is read
// but not played again.

const fs = require('node:fs');
const {ControlRefused} = require('./errors');

const kMaxFileBytes = 1 << 20;
const kMaxSteps = 1000;
const kMaxPassMs = 86400000;
const kMaxDepth = 32;
// The daemon keeps no more of a step's scenario name and note.
const kMaxStepText = 256;
// A running clock is looked at again this often, to follow a change of its speed.
const kSliceMs = 100;

function bad(path, what) {
  return new Error(`scenario ${path}: ${what}`);
}

// The file's text: a regular file within the size limit, refused before any of it is parsed.
function readBounded(path) {
  const fd = fs.openSync(path, fs.constants.O_RDONLY | fs.constants.O_NONBLOCK);
  try {
    const stat = fs.fstatSync(fd);
    if (!stat.isFile()) throw bad(path, 'not a regular file');
    if (stat.size > kMaxFileBytes) {
      throw bad(path, `the file has ${stat.size} bytes, more than ${kMaxFileBytes}`);
    }
    const buf = Buffer.alloc(kMaxFileBytes + 1);
    let n = 0;
    for (let got;
         n <= kMaxFileBytes && (got = fs.readSync(fd, buf, n, buf.length - n, null)) > 0;) {
      n += got;
    }
    if (n > kMaxFileBytes) throw bad(path, `the file has more than ${kMaxFileBytes} bytes`);
    return buf.subarray(0, n).toString('utf8');
  } finally {
    fs.closeSync(fd);
  }
}

function nestingOf(text) {
  let depth = 0, deepest = 0, inString = false;
  for (let i = 0; i < text.length; i++) {
    const c = text[i];
    if (inString) {
      if (c === '\\')
        i++;
      else if (c === '"')
        inString = false;
    } else if (c === '"') {
      inString = true;
    } else if (c === '{' || c === '[') {
      deepest = Math.max(deepest, ++depth);
    } else if (c === '}' || c === ']') {
      depth--;
    }
  }
  return deepest;
}

function timeOf(path, value, where) {
  if (!Number.isInteger(value) || value < 0 || value > kMaxPassMs) {
    throw bad(path, `${where} must be a whole number of ms from 0 to ${kMaxPassMs}`);
  }
  return value;
}

// The scenario's name, seed and steps ({place, atMs, note, command}) in the order they play.
function readScenario(path) {
  const text = readBounded(path);
  if (nestingOf(text) > kMaxDepth) throw bad(path, `nested deeper than ${kMaxDepth} levels`);
  let root;
  try {
    root = JSON.parse(text);
  } catch (e) {
    throw bad(path, `not JSON: ${e.message}`);
  }
  if (root === null || typeof root !== 'object' || Array.isArray(root)) {
    throw bad(path, 'the file must hold one JSON object');
  }
  for (const key of Object.keys(root)) {
    if (!['name', 'seed', 'repeat', 'steps'].includes(key))
      throw bad(path, `unknown field "${key}"`);
  }
  const steps = root.steps;
  if (!Array.isArray(steps) || steps.length < 1 || steps.length > kMaxSteps) {
    throw bad(path, `"steps" must be a list of 1 to ${kMaxSteps} steps`);
  }
  let previousMs = 0;
  const played = steps.map((s, i) => {
    const where = `step ${i + 1}`;
    if (s === null || typeof s !== 'object' || Array.isArray(s))
      throw bad(path, `${where} must be an object`);
    const {at, after, note, ...command} = s;
    if ((at === undefined) === (after === undefined)) {
      throw bad(path, `${where} must have exactly one of "at" and "after"`);
    }
    const atMs = at !== undefined ? timeOf(path, at, `${where}'s "at"`) :
                                    previousMs + timeOf(path, after, `${where}'s "after"`);
    if (atMs > kMaxPassMs) throw bad(path, `${where} comes ${atMs} ms after the start`);
    if (note !== undefined && typeof note !== 'string')
      throw bad(path, `${where}'s "note" must be a text`);
    if (typeof command.do !== 'string') throw bad(path, `${where} has no "do"`);
    if (command.do === 'wait') throw bad(path, `${where}: wait is no scenario step`);
    previousMs = atMs;
    return {place: i + 1, atMs, note: note || '', command};
  });
  // Steps at the same time keep the file's order (the sort is stable).
  played.sort((a, b) => a.atMs - b.atMs);
  return {
    name: typeof root.name === 'string' ? root.name : '',
    seed: root.seed ?? 1,
    steps: played
  };
}

const sleep = (ms) => new Promise((resolve) => {
  setTimeout(resolve, ms);
});

// Until the engine's clock comes to `dueMs`: a frozen clock is advanced there, in steps halved
// while the engine finds them too large (a busy plant) and grown back once taken.
async function engineUntil(client, dueMs) {
  let stepMs = 0;  // the longest advance to try; 0: the whole way
  for (;;) {
    const {clock} = await client.status();
    if (clock.ms >= dueMs) return;
    if (!clock.frozen) {
      await sleep(Math.min(Math.ceil((dueMs - clock.ms) / clock.speed), kSliceMs));
      continue;
    }
    const ms = stepMs > 0 ? Math.min(stepMs, dueMs - clock.ms) : dueMs - clock.ms;
    const answer = await client.command({do: 'clock', action: 'advance', ms});
    if (answer.ok === true) {
      stepMs = stepMs > 0 ? ms * 2 : 0;
    } else if (ms > 1 && String(answer.error).includes('take smaller steps')) {
      stepMs = Math.floor(ms / 2);
    } else {
      throw new ControlRefused(String(answer.error), {do: 'clock', action: 'advance', ms}, answer);
    }
  }
}

// Plays the file's one pass, up to the steps at `untilMs` if given (a test looks at the engine
// there); each step's answer in `played`. A step the engine refuses does not stop the others;
// once all are played, the first refused one is thrown as ControlRefused.
async function playScenario(client, path, {untilMs = Infinity} = {}) {
  const scenario = readScenario(path);
  await client.reset({seed: scenario.seed});
  const start = (await client.status()).clock.ms;
  const played = [];
  for (const step of scenario.steps.filter((s) => s.atMs <= untilMs)) {
    await engineUntil(client, start + step.atMs);
    const answer = await client.command(step.command, {
      step: {
        scenario: scenario.name.slice(0, kMaxStepText),
        pass: 1,
        step: step.place,
        at_ms: step.atMs,
        note: step.note.slice(0, kMaxStepText),
      },
    });
    played.push({...step, answer});
  }
  const refused = played.find((s) => s.answer.ok !== true);
  if (refused) {
    throw new ControlRefused(
        `scenario ${path}: step ${refused.place} at ${refused.atMs} ms ` +
            `was refused: ${refused.answer.error}`,
        refused.command, refused.answer);
  }
  return {name: scenario.name, played};
}

module.exports = {
  playScenario,
  readScenario
};
