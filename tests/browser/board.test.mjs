// The boards and the administration page in a real browser: Debian's chromium
// driven by playwright-core, against a tvxhost of our own on a free loopback
// port, with a data folder laid out by scripts/layout-site exactly as
// `make serve` lays out data/. See harness.mjs for the environment.
//
// Run by hand: node --test tests/browser/board.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { appendFileSync, readFileSync, statSync } from 'node:fs';
import { join } from 'node:path';
import { STEP_TIMEOUT, artifactDir, basicAuth, openSite, submit } from './harness.mjs';

let site;
let browser;
let base;
let dataDir;

before(async () => {
  site = await openSite();
  ({ browser, base, dataDir } = site);
});

after(async () => {
  if (site) await site.close();
});

// ---- tests ------------------------------------------------------------------

const post = {
  name: '太郎',
  subject: 'こんにちは',
  body: '<b>x</b> & 100%\n二行目は「日本語」です。',
};

test('the built-in board shows a post exactly as it was typed', { timeout: 60_000 }, async () => {
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  const first = await page.goto(`${base}/bbs/board.tvx`);
  assert.equal(first.status(), 200);
  assert.match(first.headers()['content-type'], /shift_jis/i);

  await page.fill('input[name="name"]', post.name);
  await page.fill('input[name="subject"]', post.subject);
  await page.fill('textarea[name="body"]', post.body);
  const { response: shown } = await submit(page, page.locator('input[name="postitem"]'), '/bbs/board.tvx');
  assert.equal(shown.status(), 200);

  const entries = page.locator('table', { hasText: post.subject });
  assert.equal(await entries.count(), 1, 'the post is listed once');
  const entry = entries.first();
  const text = await entry.innerText();
  assert.ok(text.includes(post.name), `name shown: ${text}`);
  assert.equal((await entry.locator('blockquote').innerText()).trim(), post.body);
  // Typed markup is text, not elements.
  assert.equal(await entry.locator('blockquote b').count(), 0, 'typed <b> became an element');
  // This board has no templates, so no marker and no delete buttons.
  assert.equal(await page.locator('input[value="削除"]').count(), 0);

  await page.screenshot({ path: join(artifactDir, 'browser-board.png'), fullPage: true });
  await page.close();
});

test('the open board posts through its own form and deletes with its button', { timeout: 60_000 }, async () => {
  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  await page.goto(`${base}/bbs/open.tvx`);
  // The template is Shift_JIS bytes; a wrong conversion would garble the title.
  assert.equal(await page.title(), 'みんなの掲示板');

  const subject = '削除のテスト';
  await page.fill('input[name="name"]', '花子');
  await page.fill('input[name="email"]', 'hanako@example.com');
  await page.fill('input[name="subject"]', subject);
  await page.fill('textarea[name="body"]', '消えるはずの投稿です。');
  await submit(page, page.locator('input[name="postitem"]'), '/bbs/open.tvx');

  const entry = page.locator('table', { hasText: subject });
  assert.equal(await entry.count(), 1, 'the post is listed once');
  assert.equal(await entry.locator('a[href="mailto:hanako@example.com"]').count(), 1);
  // The board keeps its own posts: the post of the other board is not here.
  assert.equal(await page.locator('table', { hasText: post.subject }).count(), 0);
  await page.screenshot({ path: join(artifactDir, 'browser-open-board.png'), fullPage: true });

  const button = entry.locator('input[value="削除"]');
  assert.equal(await button.count(), 1, 'the marker in the header turns the delete button on');
  await submit(page, button, '/bbs/open.tvx');
  assert.equal(await page.locator('table', { hasText: subject }).count(), 0, 'the post is gone');
  assert.equal(await page.title(), 'みんなの掲示板');

  // Deleting on this board left the other board alone.
  await page.goto(`${base}/bbs/board.tvx`);
  assert.equal(await page.locator('table', { hasText: post.subject }).count(), 1);
  await page.close();
});

test('the admin page asks for the generated password', { timeout: 60_000 }, async () => {
  const url = `${base}/admin/corkwarden.tvx`;
  const password = readFileSync(join(dataDir, 'admin-password.txt'), 'utf8').trim();
  assert.ok(password.length >= 16, 'a generated password of some length');
  assert.equal((statSync(join(dataDir, 'admin-password.txt')).mode & 0o077), 0,
    'the password file is readable by its owner only');
  assert.ok(!readFileSync(join(dataDir, 'admin.htpasswd'), 'utf8').includes(password),
    'the htpasswd file holds a hash, not the password');

  const cases = [
    { what: 'no credentials', headers: {}, status: 401 },
    { what: 'wrong password', headers: { Authorization: basicAuth('admin', password + 'x') }, status: 401 },
    { what: 'wrong user', headers: { Authorization: basicAuth('root', password) }, status: 401 },
    { what: 'right credentials', headers: { Authorization: basicAuth('admin', password) }, status: 200 },
  ];
  for (const c of cases) {
    const r = await fetch(url, { headers: c.headers, signal: AbortSignal.timeout(STEP_TIMEOUT) });
    assert.equal(r.status, c.status, c.what);
    if (c.status === 401) assert.match(r.headers.get('www-authenticate') || '', /^Basic /i, c.what);
    await r.arrayBuffer();
  }

  const context = await browser.newContext({ httpCredentials: { username: 'admin', password } });
  const page = await context.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  const r = await page.goto(url);
  assert.equal(r.status(), 200);
  const text = await page.locator('body').innerText();
  assert.ok(text.includes('TULVAN_board.tvx'), `the board's database is listed:\n${text}`);
  await page.screenshot({ path: join(artifactDir, 'browser-admin.png'), fullPage: true });
  await context.close();
});

test('a second lay-out keeps the data, and posts survive a restart', { timeout: 60_000 }, async () => {
  const keep = ['admin-password.txt', 'admin.htpasswd', 'www/bbs/openHEAD.HTML', 'www/index.html'];
  // The owner's edits to a template must survive the next start.
  appendFileSync(join(dataDir, 'www', 'bbs', 'openFOOT.HTML'), '<!-- edited -->\n');
  keep.push('www/bbs/openFOOT.HTML');
  const saved = Object.fromEntries(keep.map((f) => [f, readFileSync(join(dataDir, f))]));

  await site.stop();
  site.layout();
  for (const f of keep) assert.deepEqual(readFileSync(join(dataDir, f)), saved[f], `${f} unchanged`);
  await site.start();

  const page = await browser.newPage();
  page.setDefaultTimeout(STEP_TIMEOUT);
  await page.goto(`${base}/bbs/board.tvx`);
  const entry = page.locator('table', { hasText: post.subject });
  assert.equal(await entry.count(), 1, 'the post is still there after the restart');
  assert.equal((await entry.locator('blockquote').innerText()).trim(), post.body);
  await page.close();
});
