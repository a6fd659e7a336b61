// The scenario player.
import type { Client, Answer, Fields } from './client';

export interface ScenarioStep { place: number; atMs: number; note: string; command: Fields }
export interface PlayedScenario { name: string; played: Array<ScenarioStep & { answer: Answer }> }

export function readScenario(path: string): { name: string; seed: number; steps: ScenarioStep[] };
export function playScenario(client: Client, path: string, options?: { untilMs?: number }): Promise<PlayedScenario>;
