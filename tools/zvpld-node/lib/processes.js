'use strict';
// Starts the engine daemon and the web console for a test run, so that they cannot outlive it:
// each is killed by the kernel when this process dies (setpriv's parent-death signal, where the
// machine has setpriv), killed when this process exits, and stopped (SIGTERM, then SIGKILL after
// a bound) by stop(). The daemon's socket is in a private directory (mode 0700) of its own.

const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const crypto = require('node:crypto');
const {spawn} = require('node:child_process');
const {EngineError} = require('./errors');

const kStartMs = 10000;
const kStopMs = 5000;
// What is kept of a process's output for its failure: its last lines, not all of it.
const kMaxOutput = 16384;

const running = new Set();
process.on('exit', () => {
  for (const child of running) child.kill('SIGKILL');
});

function findProgram(name, variable, override) {
  if (override) return override;
  for (const dir of (process.env.PATH || '').split(path.delimiter)) {
    const candidate = path.join(dir || '.', name);
    try {
      fs.accessSync(candidate, fs.constants.X_OK);
      return candidate;
    } catch {
      // not in this directory
    }
  }
  throw new EngineError(`${name} not found: set ${variable} to its path, or put it on PATH`);
}

const kSetpriv = ['/usr/bin/setpriv', '/bin/setpriv'].find((p) => fs.existsSync(p));

// `program` started with `args`; resolves with it and the first stdout line `ready` accepts.
function start(program, args, ready, what, env = process.env) {
  const [file, argv] =
      kSetpriv ? [kSetpriv, ['--pdeathsig', 'SIGKILL', '--', program, ...args]] : [program, args];
  const child = spawn(file, argv, {stdio: ['ignore', 'pipe', 'pipe'], env});
  running.add(child);
  let stderr = '';
  let stdout = '';
  child.stderr.on('data', (d) => {
    stderr = (stderr + d).slice(-kMaxOutput);
  });
  const exited = new Promise((resolve) => {
    child.once('exit', resolve);
  });
  exited.then(() => running.delete(child));
  const handle = {
    process: child,
    async stop() {
      // Not started (no pid: it has no exit to wait for), or gone already.
      if (child.pid === undefined || child.exitCode !== null || child.signalCode !== null) return;
      child.kill('SIGTERM');
      const timer = setTimeout(() => child.kill('SIGKILL'), kStopMs);
      await exited;
      clearTimeout(timer);
    },
  };
  return new Promise((resolve, reject) => {
    const fail = async (why) => {
      await handle.stop();
      reject(new EngineError(`${what} ${why}; its stderr: ${stderr.trim() || '(nothing)'}`));
    };
    const timer = setTimeout(() => fail(`was not ready within ${kStartMs} ms`), kStartMs);
    child.once('error', (e) => {
      clearTimeout(timer);
      fail(`could not start: ${e.message}`);
    });
    const early = (code, signal) => {
      clearTimeout(timer);
      fail(`exited before it was ready (${signal || `status ${code}`})`);
    };
    child.once('exit', early);
    child.stdout.on('data', function onData(d) {
      stdout = (stdout + d).slice(-kMaxOutput);
      const lines = stdout.split('\n');
      for (const line of lines.slice(0, -1)) {
        const found = ready(line);
        if (found) {
          clearTimeout(timer);
          child.off('exit', early);
          child.stdout.off('data', onData);
          child.stdout.resume();  // what it says later must not fill the pipe
          resolve({...handle, ...found});
          return;
        }
      }
    });
  });
}

// pld-engined on a private socket; `catalogue` (a file, else the built-in one) and `seed`.
async function startEngine({engined, catalogue, seed = 1, args = []} = {}) {
  const program = findProgram('pld-engined', 'PLD_ENGINED', engined || process.env.PLD_ENGINED);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-'));
  fs.chmodSync(dir, 0o700);
  const socketPath = path.join(dir, 'engine.sock');
  const argv = ['--socket', socketPath, '--seed', String(seed), ...args];
  if (catalogue) argv.push('--catalogue', catalogue);
  const daemon = await owning(
      dir,
      start(
          program, argv, (line) => line.startsWith(`READY ${socketPath} `) && {},
          `pld-engined (${program})`));
  return {...daemon, socketPath, seed};
}

// The process `started` for the private directory `dir`, which goes with it: at its stop, or at
// once when it does not start.
async function owning(dir, started) {
  const gone = () => fs.rmSync(dir, {recursive: true, force: true});
  let child;
  try {
    child = await started;
  } catch (e) {
    gone();
    throw e;
  }
  return {
    ...child,
    async stop() {
      await child.stop();
      gone();
    },
  };
}

// pldweb on the daemon at `socketPath`, on a free port of 127.0.0.1: its address with the token
// (`url`), without it and without a trailing slash (`base`), and the token. The token is its own,
// in a private directory (a command line is anyone's to read): one the user keeps in
// PLDWEB_TOKEN is not the fixture's to serve, nor to show in a report.
async function startConsole({pldweb, socketPath, catalogue, args = []}) {
  const program = findProgram('pldweb', 'PLDWEB', pldweb || process.env.PLDWEB);
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'zvpld-web-'));
  fs.chmodSync(dir, 0o700);
  const tokenFile = path.join(dir, 'pldweb.token');
  fs.writeFileSync(tokenFile, crypto.randomBytes(24).toString('base64url'), {mode: 0o600});
  const argv =
      ['--engine', `unix:${socketPath}`, '--port', '0', '--token-file', tokenFile, ...args];
  if (catalogue) argv.push('--catalogue', catalogue);
  const {PLDWEB_TOKEN, ...env} = process.env;
  return owning(dir, start(program, argv, (line) => {
                  const m =
                      /listening on (http:\/\/[^/\s]+)\/(\?token=([A-Za-z0-9._~-]+))?/.exec(line);
                  return m && {url: `${m[1]}/${m[2] || ''}`, base: m[1], token: m[3] || null};
                }, `pldweb (${program})`, env));
}

module.exports = {
  startEngine,
  startConsole,
  findProgram
};
