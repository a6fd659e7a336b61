// @zvpld/testbench: a client of the PLD engine daemon's control protocol for tests.
export * from './lib/errors';
export { Client, PROTOCOL_VERSION, Answer, Fields, FeedEvent } from './lib/client';
export { readScenario, ScenarioStep, PlayedScenario } from './lib/scenario';
export { startEngine, startConsole, EngineProcess, ConsoleProcess } from './lib/processes';
