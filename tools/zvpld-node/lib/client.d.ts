// The client of the engine daemon's control protocol.
import type { Connection } from './connection';
import type { PlayedScenario } from './scenario';

/** A control command's answer: `ok` and the verb's own fields. */
export type Answer = { ok: boolean; [field: string]: any };
/** A command's fields, under the names the engine gives them (`period_ms`, `timeout_ms`, ...). */
export type Fields = Record<string, unknown>;
/** One event of the engine's feed. */
export type FeedEvent = { event: 'control' | 'step'; seq: number; [field: string]: any };

export const PROTOCOL_VERSION: 1;
export const kVerbs: Record<string, string>;

export class Client {
  static connect(socketPath: string, options?: { name?: string; timeoutMs?: number }): Promise<Client>;
  constructor(connection: Connection, timeoutMs: number);
  readonly socketPath: string;
  readonly timeoutMs: number;

  command(command: Fields, options?: { deadlineMs?: number; step?: Fields }): Promise<Answer>;
  control(verb: string, fields?: Fields, options?: { deadlineMs?: number }): Promise<Answer>;

  offline(fields: { device: number }): Promise<Answer>;
  online(fields: { device: number }): Promise<Answer>;
  fail(fields: Fields): Promise<Answer>;
  delay(fields: Fields): Promise<Answer>;
  stall(fields?: Fields): Promise<Answer>;
  release(): Promise<Answer>;
  plant(fields: Fields): Promise<Answer>;
  set(fields: Fields): Promise<Answer>;
  burst(fields: Fields): Promise<Answer>;
  pldCount(): Promise<Answer>;
  notify(fields: Fields): Promise<Answer>;
  event(fields: { id: number; state: number }): Promise<Answer>;
  reportParent(fields: Fields): Promise<Answer>;
  clear(fields: { name: string }): Promise<Answer>;
  restart(): Promise<Answer>;
  reset(fields?: { seed?: number; catalogue?: boolean; keep_values?: boolean }): Promise<Answer>;
  status(): Promise<Answer>;
  journal(fields?: Fields): Promise<Answer>;
  journalClear(): Promise<Answer>;
  wait(fields: Fields & { timeout_ms: number }): Promise<Answer>;
  clock(fields: { action: 'freeze' | 'run' | 'advance'; ms?: number; speed?: number }): Promise<Answer>;

  freeze(): Promise<Answer>;
  advance(ms: number): Promise<Answer>;
  runClock(speed?: number): Promise<Answer>;
  fullReset(fields?: { seed?: number; keep_values?: boolean }): Promise<Answer>;
  mark(): Promise<number>;

  read(device: number, point: number, module?: number): Promise<string>;
  write(device: number, point: number, value: string | number, module?: number): Promise<void>;

  subscribe(on?: boolean): Promise<void>;
  unsubscribe(): Promise<void>;
  events(options?: { timeoutMs?: number }): AsyncGenerator<FeedEvent, never, void>;
  nextEvent(predicate?: (event: FeedEvent) => boolean, options?: { timeoutMs?: number }): Promise<FeedEvent>;

  playScenario(path: string, options?: { untilMs?: number }): Promise<PlayedScenario>;
  close(): void;
}
