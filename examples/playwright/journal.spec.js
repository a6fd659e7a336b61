// What the page asks of the engine, verified through the call journal: wait for its reads
// rather than sleep, then count them.
const { test, expect } = require('@zvpld/testbench/playwright');

test('each load of the table reads a point once, and each read answers', async ({ page, engine, console }) => {
  let loads = 0;
  page.on('request', (r) => { if (new URL(r.url()).pathname === '/api/devices') loads++; });
  const mark = await engine.mark();
  await page.goto(console.url);
  await engine.wait({ op: 'GetVelPntStr', device: 1, point: 101, since: mark, timeout_ms: 5000 });
  await expect(page.locator('body[data-loaded="yes"]')).toBeAttached();
  await page.waitForLoadState('networkidle');

  const reads = await engine.journal({ op: 'GetVelPntStr', device: 1, point: 101, since: mark });
  expect(loads).toBeGreaterThan(0);
  expect(reads.count).toBe(loads);  // no retries, no storm
  expect(reads.entries.map((e) => e.status)).toEqual(Array(loads).fill(0));
});
