// The Playwright fixture of @zvpld/testbench.
import type { TestType, PlaywrightTestArgs, PlaywrightTestOptions, PlaywrightWorkerArgs,
              PlaywrightWorkerOptions, Expect } from '@playwright/test';
import type { Client, EngineProcess, ConsoleProcess } from './index';

export interface PldTestArgs {
  /** A client of the worker's daemon, fully reset before the test, its clock as `pldClock`. */
  engine: Client;
  /** The engine's clock as each test starts: running at speed 1 (the default) or frozen. */
  pldClock: 'run' | 'frozen';
}
export interface PldWorkerArgs {
  /** The catalogue file of the worker's daemon ("": the built-in one). */
  pldCatalogue: string;
  /** The seed of the worker's daemon. */
  pldSeed: number;
  /** The worker's pld-engined. */
  pldDaemon: EngineProcess;
  /** pldweb on the worker's daemon. */
  console: ConsoleProcess;
}
export const test: TestType<PlaywrightTestArgs & PlaywrightTestOptions & PldTestArgs,
                            PlaywrightWorkerArgs & PlaywrightWorkerOptions & PldWorkerArgs>;
export const expect: Expect;
