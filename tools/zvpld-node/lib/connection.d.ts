// One connection to the engine daemon: frames, replies matched by id with deadlines, the feed.
export const kMaxFrame: number;
export class Connection {
  static open(path: string, timeoutMs: number): Promise<Connection>;
  readonly path: string;
  request(message: Record<string, unknown>, what: string, deadlineMs: number): Promise<Record<string, any>>;
  nextEvent(timeoutMs: number): Promise<Record<string, any> | null>;
  close(): void;
}
