// Another site's page cannot drive the admin page of a browser that holds
// the owner's password. The board and its admin page run on 127.0.0.1; a
// hostile page is served by a second tvxhost on 127.0.0.2 (another origin,
// another site). The hostile page holds the admin's DELETE DB link of the
// board as an <img>, as a link the owner clicks, as a form that posts to it,
// and an <iframe> of the admin page. The browser sends the admin's
// credentials with every request to the admin's origin. Afterwards the board
// is still there and the frame shows no admin page; the same link clicked on
// the admin page itself still deletes.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { STEP_TIMEOUT, TEST_TIMEOUT, basicAuth, follow, closeSites, openSiteAndHostile, postOverHttp, shot } from './harness.mjs';

let site;
let hostile;
before(async () => { ({ site, hostile } = await openSiteAndHostile()); });
after(async () => { await closeSites(hostile, site); });

const ADMIN = '/admin/corkwarden.tvx';
const DB = 'TULVAN_board.tvx';

// The statuses the admin's server logged for requests of `target`, in order.
// The log reaches its file within 20 ms of an answer.
async function logged(target) {
  await new Promise((r) => setTimeout(r, 200));
  const lines = readFileSync(join(site.dataDir, 'access.log'), 'utf8').split('\n');
  const quoted = `"${target.method} ${target.path} HTTP/1.1" `;
  return lines.filter((l) => l.includes(quoted)).map((l) => Number(l.split(quoted)[1].split(' ')[0]));
}

// The catalogue as curl would fetch it: with the password, without any
// header that says where the request comes from.
async function catalogue() {
  const r = await fetch(site.url(ADMIN), {
    headers: { Authorization: basicAuth('admin', site.adminPassword()) },
    signal: AbortSignal.timeout(STEP_TIMEOUT),
  });
  assert.equal(r.status, 200);
  return r.text();
}

test('a hostile page cannot delete the board or frame the admin page', { timeout: TEST_TIMEOUT }, async () => {
  await postOverHttp(site, '/bbs/board.tvx', { name: 'owner', email: '', subject: 'precious', body: 'keep me' });
  const before = await catalogue();
  const match = before.match(/href="([^"]*\?cmd=deleteDB&amp;db=-?\d+|[^"]*\?cmd=deleteDB&db=-?\d+)">DELETE DB<\/a>/);
  assert.ok(match, `the catalogue links DELETE DB:\n${before}`);
  assert.ok(before.includes(DB));
  const deleteLink = site.url(match[1].replace('&amp;', '&'));
  const db = new URL(deleteLink).searchParams.get('db');

  writeFileSync(join(hostile.dataDir, 'www', 'prize.html'), `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>You have won</title></head><body>
<img id="img" src="${deleteLink}" alt="">
<p><a id="link" href="${deleteLink}">Claim your prize</a></p>
<form id="form" method="post" action="${site.url(ADMIN)}">
  <input type="hidden" name="cmd" value="deleteDB"><input type="hidden" name="db" value="${db}">
  <input id="send" type="submit" value="Go">
</form>
<iframe id="frame" src="${site.url(ADMIN)}" width="600" height="300"></iframe>
</body></html>
`);

  const context = await site.browser.newContext({
    httpCredentials: { username: 'admin', password: site.adminPassword(), origin: site.base, send: 'always' },
  });
  const page = await site.newPage(context);
  const answers = [];
  page.on('response', (r) => {
    if (new URL(r.url()).origin === site.base) {
      answers.push({ url: r.url(), status: r.status(), method: r.request().method(), frame: r.frame() !== page.mainFrame() });
    }
  });

  const deletion = { method: 'GET', path: new URL(deleteLink).pathname + new URL(deleteLink).search };
  // The image and the frame load with the page. The browser does not hand
  // an image answer that is HTML to the page, so the server's log says
  // what became of it.
  const shown = await page.goto(hostile.url('/prize.html'));
  assert.equal(shown.status(), 200);
  await page.waitForFunction(() => document.getElementById('img').complete, null, { timeout: STEP_TIMEOUT });
  assert.deepEqual(await logged(deletion), [403], 'the image request reached the server and was refused');
  assert.ok((await catalogue()).includes(DB), 'the <img> did not delete the board');

  // The frame: refused, and a refusal that must not be framed either.
  const frameAnswer = answers.find((a) => a.url === site.url(ADMIN) && a.method === 'GET');
  assert.ok(frameAnswer, `the frame was asked for: ${JSON.stringify(answers)}`);
  assert.equal(frameAnswer.status, 403);
  const frame = page.frames().find((f) => f !== page.mainFrame());
  assert.ok(frame, 'the page has its frame');
  const inFrame = await frame.evaluate(() => document.documentElement ? document.documentElement.innerText : '')
    .catch(() => '');
  assert.ok(!inFrame.includes(DB) && !inFrame.includes('DELETE DB'), `the frame shows the admin page:\n${inFrame}`);
  await shot(page, 'crosssite-hostile-page');

  // The link, clicked.
  const [clicked] = await Promise.all([
    page.waitForNavigation({ timeout: STEP_TIMEOUT }),
    page.click('#link'),
  ]);
  assert.equal(clicked.url(), deleteLink);
  assert.equal(clicked.status(), 403, 'the followed link is refused');
  assert.deepEqual(await logged(deletion), [403, 403]);
  assert.ok(!(await page.content()).includes('Database deleted.'));
  assert.ok((await catalogue()).includes(DB), 'the clicked link did not delete the board');

  // The form, posted.
  await page.goto(hostile.url('/prize.html'));
  const [posted] = await Promise.all([
    page.waitForNavigation({ timeout: STEP_TIMEOUT }),
    page.click('#send'),
  ]);
  assert.equal(posted.request().method(), 'POST');
  assert.equal(posted.status(), 403, 'the posted form is refused');
  assert.deepEqual(await logged({ method: 'POST', path: ADMIN }), [403]);
  assert.ok((await catalogue()).includes(DB), 'the posted form did not delete the board');

  // The admin page itself, opened by the owner: its own DELETE DB link works.
  const own = await page.goto(site.url(ADMIN));
  assert.equal(own.status(), 200);
  assert.equal(own.headers()['x-frame-options'], 'DENY');
  const link = page.locator('tr').filter({ has: page.locator('td:first-child', { hasText: DB }) })
    .getByRole('link', { name: 'DELETE DB', exact: true });
  assert.equal(await link.getAttribute('href'), new URL(deleteLink).pathname + new URL(deleteLink).search);
  await follow(page, link);
  assert.ok((await page.locator('body').innerText()).includes('Database deleted.'),
    `the owner's own click deletes:\n${await page.locator('body').innerText()}`);
  assert.ok(!(await catalogue()).includes(DB), 'the board is gone after the owner\'s click');
  // Refused: the image of each of the two loads of the page, and the click.
  assert.deepEqual(await logged(deletion), [403, 403, 403, 200]);
  await shot(page, 'crosssite-owner-deleted');
  await context.close();
});
