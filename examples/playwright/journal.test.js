// What the page asks of the engine, verified through the call journal: wait for its reads
// rather than sleep, then count them against the loads of the table the page made.
const {test, expect} = require('@zvpld/testbench/playwright');

const READS = {
  op: 'GetVelPntStr',
  device: 1,
  point: 101
};

test(
    'each load of the table reads a point once, and each read answers',
    async ({page, engine, console}) => {
      let started = 0, finished = 0;
      const loadsOfTheTable = (r) => new URL(r.url()).pathname === '/api/devices';
      page.on('request', (r) => {
        started += loadsOfTheTable(r);
      });
      for (const end of ['requestfinished', 'requestfailed'])
        page.on(end, (r) => {
          finished += loadsOfTheTable(r);
        });

      const mark = await engine.mark();
      await page.goto(console.url);
      await engine.wait({...READS, since: mark, timeout_ms: 5000});

      // The page may load its table more than once as it starts: count once it has settled.
      let reads = null;
      await expect
          .poll(
              async () => {
                reads = await engine.journal({...READS, since: mark});
                return finished === started && reads.count === started;
              },
              {message: 'one read of the point per load of the table'})
          .toBe(true);
      expect(reads.entries.map((e) => e.status)).toEqual(Array(started).fill(0));
    });
