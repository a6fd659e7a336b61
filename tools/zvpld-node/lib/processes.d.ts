// The engine daemon and the web console, started for a test run.
import type { ChildProcess } from 'node:child_process';

export interface Started { process: ChildProcess; stop(): Promise<void> }
export interface EngineProcess extends Started { socketPath: string; seed: number }
export interface ConsoleProcess extends Started {
  /** The page's address with the console's token. */
  url: string;
  /** The address without the token: http://127.0.0.1:PORT/ */
  base: string;
  token: string | null;
}

export function startEngine(options?: {
  engined?: string; catalogue?: string; seed?: number; args?: string[];
}): Promise<EngineProcess>;
export function startConsole(options: {
  pldweb?: string; socketPath: string; catalogue?: string; args?: string[];
}): Promise<ConsoleProcess>;
export function findProgram(name: string, override?: string): string;
