// The entrance and both laid-out boards as a phone shows them (390 x 844,
// a mobile viewport) and as a desktop shows them: a viewport of the page's
// own, nothing wider than the screen, post text of at least 14 CSS px, every
// field labelled and no reset button beside the post button. The pictures
// in the README come from here: with PICTURES_DIR set, the screenshots are
// also written there (PICTURES_DIR=docs/pictures node --test phone.test.mjs).
//
// Run by hand: node --test tests/browser/phone.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { basename, join } from 'node:path';
import { TEST_TIMEOUT, openSite, postOverHttp, postsOn, shot } from './harness.mjs';

const PHONE = { viewport: { width: 390, height: 844 }, isMobile: true, hasTouch: true,
  deviceScaleFactor: 2 };
const DESKTOP = { viewport: { width: 1280, height: 800 } };
const PAGES = [['entrance', '/'], ['board', '/bbs/board.tvx'], ['open', '/bbs/open.tvx']];

let site;

before(async () => {
  site = await openSite();
  // Something to read on each board: a Japanese post and one long word
  // (an address) that must wrap rather than widen the page.
  for (const path of ['/bbs/board.tvx', '/bbs/open.tvx']) {
    await postOverHttp(site, path, { name: 'Hanako', email: '', subject: 'Welcome',
      body: 'https://example.com/' + 'a'.repeat(160) + '\nA second line of the post.' });
  }
});
after(async () => { if (site) await site.close(); });

// Saves the page's screenshot with the test's others, and where the README's
// pictures are kept when that is asked for.
async function picture(page, name) {
  await shot(page, name);
  if (process.env.PICTURES_DIR) {
    await page.screenshot({ path: join(process.env.PICTURES_DIR, `${name}.png`), fullPage: true });
  }
}

for (const [name, path] of PAGES) {
  test(`${name} fits a phone`, { timeout: TEST_TIMEOUT }, async () => {
    const context = await site.browser.newContext(PHONE);
    const page = await site.newPage(context);
    const response = await page.goto(site.url(path));
    assert.equal(response.status(), 200);

    const viewport = await page.locator('meta[name="viewport"]').getAttribute('content');
    assert.match(viewport ?? '', /width=device-width/);
    const widths = await page.evaluate(() => ({
      page: document.documentElement.scrollWidth, screen: window.innerWidth }));
    assert.ok(widths.page <= widths.screen, `sideways scroll: ${JSON.stringify(widths)}`);

    if (path !== '/') {
      // The post's text is readable without zooming.
      const body = postsOn(page).first().locator('blockquote tt');
      const size = await body.evaluate((e) => parseFloat(getComputedStyle(e).fontSize));
      assert.ok(size >= 14, `post text of ${size} px`);
      // Every field has its label and is wide enough to type into; no reset
      // button waits beside the post button.
      const fields = page.locator('form.post-form input[type=text], form.post-form textarea');
      assert.equal(await fields.count(), 4);
      for (const field of await fields.all()) {
        const labels = await field.evaluate((e) => [...e.labels].map((l) => l.textContent.trim()));
        assert.equal(labels.length, 1, await field.evaluate((e) => e.outerHTML));
        const box = await field.boundingBox();
        assert.ok(box.x >= 0 && box.x + box.width <= 390 && box.width >= 250,
          `${labels[0]}: ${JSON.stringify(box)}`);
        const fontSize = await field.evaluate((e) => parseFloat(getComputedStyle(e).fontSize));
        assert.ok(fontSize >= 16, `${labels[0]}: ${fontSize} px makes a phone zoom in`);
      }
      assert.equal(await page.locator('input[type=reset]').count(), 0);
      const deletes = await page.locator('input[value="削除"]').count();
      assert.equal(deletes > 0, name === 'open', `${deletes} delete buttons on ${path}`);
    }
    await picture(page, `${name}-phone`);
    await context.close();
  });
}

test('the pages at desktop width', { timeout: TEST_TIMEOUT }, async () => {
  const context = await site.browser.newContext(DESKTOP);
  const page = await site.newPage(context);
  for (const [name, path] of PAGES) {
    await page.goto(site.url(path));
    const widths = await page.evaluate(() => ({
      page: document.documentElement.scrollWidth, screen: window.innerWidth }));
    assert.ok(widths.page <= widths.screen, `${path}: ${JSON.stringify(widths)}`);
    await picture(page, `${name}-desktop`);
  }
  // A board without templates keeps the built-in look: its own title, the
  // reset button of the built-in form.
  const copy = site.installBoard('plain.tvx');
  await page.goto(site.url(copy));
  assert.equal(await page.title(), 'TULVAN BBS');
  assert.equal(await page.locator('input[type=reset]').count(), 1);
  // Its comment on the missing header names no folder above the site.
  const content = await page.content();
  assert.ok(!content.includes(basename(site.dataDir)), content);
  assert.ok(content.includes('<!-- ERROR READ FILE \\bbs\\plainHEAD.HTML -->'), content);
  await context.close();
});
