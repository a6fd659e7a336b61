// A device taken offline: the console marks each of its rows, and no other.
const {test, expect} = require('@zvpld/testbench/playwright');

test('the rows of a device taken offline are marked', async ({page, engine, console}) => {
  await page.goto(console.url);
  await expect(page.locator('body[data-loaded="yes"][data-stream="open"]')).toBeAttached();
  const device1 = page.locator('#points tbody tr').filter({
    has: page.locator('td:first-child', {hasText: /^1( |$)/})
  });
  await expect(device1.first()).not.toHaveClass(/offline/);

  await engine.offline({device: 1});

  await expect(device1.first()).toHaveClass('offline');
  for (const row of await device1.all()) {
    await expect(row).toHaveClass('offline');
    await expect(row.locator('td').first()).toHaveText('1 (offline)');
  }
  await expect(page.locator('#points tbody tr.offline td:first-child', {
    hasText: /^2/
  })).toHaveCount(0);
});
