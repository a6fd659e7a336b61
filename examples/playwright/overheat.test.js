// The overheating boiler played on the frozen clock: its minute takes a moment of the host's time,
// and the burner lockout it raises is told by the engine's feed and shown by the page.
const path = require('node:path');
const {test, expect} = require('@zvpld/testbench/playwright');

const OVERHEAT = path.join(__dirname, '../scenarios/overheat.json');

// The engine's clock stands as each test of this file starts: the scenario's steps are advanced to.
test.use({pldClock: 'frozen'});

test('the overheat scenario raises the burner lockout', async ({page, engine, console}) => {
  await page.goto(console.url);
  await expect(page.locator('body[data-loaded="yes"][data-stream="open"]')).toBeAttached();
  await engine.subscribe();

  const started = Date.now();
  // Up to the lockout, 24 s into the scenario, so that the page shows it still raised.
  await engine.playScenario(OVERHEAT, {untilMs: 30000});
  test.info().annotations.push({type: 'played in', description: `${Date.now() - started} ms`});
  expect((await engine.status()).clock.frozen).toBe(true);

  const step = await engine.nextEvent((e) => e.event === 'step' && e.at_ms === 24000);
  expect(step.answer).toEqual({ok: true, done: 'event 1 in state 1'});
  await expect(page.locator('#events li[data-event-id="1"]')).toContainText('state 1');
  expect(await engine.read(1, 100)).not.toBe('61.5');  // the supply temperature climbed
});
