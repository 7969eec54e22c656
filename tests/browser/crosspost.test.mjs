// Another site's page cannot post or delete on the open board through its
// visitors' browsers. The board runs on 127.0.0.1; a hostile page is served
// by a second tvxhost on 127.0.0.2 (another origin, another site). The page
// holds a form that posts to the board, a form that presses a post's delete
// button, and a script that posts with fetch(). Each is refused with 403 and
// a line in the board server's error log, and the board is unchanged;
// afterwards the board's own form still posts and its own button still
// deletes.
import assert from 'node:assert/strict';
import { readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, before, test } from 'node:test';

import { STEP_TIMEOUT, TEST_TIMEOUT, closeSites, openSiteAndHostile, postOverHttp, postsOn, shot, subjectsOn, submit } from './harness.mjs';

let site;
let hostile;
before(async () => { ({ site, hostile } = await openSiteAndHostile()); });
after(async () => { await closeSites(hostile, site); });

const BOARD = '/bbs/open.tvx';
const REFUSAL = "refused, a post to a plug-in from another site's page";

// The statuses the board's server logged for POSTs to the board, in order.
// The log reaches its file within 20 ms of an answer.
async function postStatuses() {
  await new Promise((r) => setTimeout(r, 200));
  const quoted = `"POST ${BOARD} HTTP/1.1" `;
  return readFileSync(join(site.dataDir, 'access.log'), 'utf8').split('\n')
    .filter((l) => l.includes(quoted)).map((l) => Number(l.split(quoted)[1].split(' ')[0]));
}

// The board's page as curl would fetch it.
async function boardHtml() {
  const r = await fetch(site.url(BOARD), { signal: AbortSignal.timeout(STEP_TIMEOUT) });
  assert.equal(r.status, 200);
  return new TextDecoder('shift_jis').decode(await r.arrayBuffer());
}

test('a hostile page can neither post nor delete on the open board', { timeout: TEST_TIMEOUT }, async () => {
  await postOverHttp(site, BOARD, { name: 'owner', email: '', subject: 'precious', body: 'keep me' });
  const before = await boardHtml();
  const id = before.match(/name="deleteitemid" value="(-?\d+)"/);
  assert.ok(id, `the open board has a delete button:\n${before}`);
  const logged = await postStatuses();

  writeFileSync(join(hostile.dataDir, 'www', 'prize.html'), `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>You have won</title></head><body>
<form id="spam" method="post" action="${site.url(BOARD)}">
  <input type="hidden" name="name" value="spammer"><input type="hidden" name="email" value="">
  <input type="hidden" name="subject" value="cheap pills"><input type="hidden" name="body" value="buy now">
  <input id="send-spam" type="submit" name="postitem" value="Claim your prize">
</form>
<form id="wipe" method="post" action="${site.url(BOARD)}">
  <input type="hidden" name="deleteitemid" value="${id[1]}">
  <input id="send-wipe" type="submit" name="deleteitem" value="Claim another prize">
</form>
<script>
async function quietly() {
  await fetch(${JSON.stringify(site.url(BOARD))}, { method: 'POST', mode: 'no-cors',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: 'name=script&email=&subject=from+a+script&body=x&postitem=post' });
  return 'sent';
}
</script>
</body></html>
`);

  const page = await site.newPage();
  for (const button of ['#send-spam', '#send-wipe']) {
    await page.goto(hostile.url('/prize.html'));
    const [answer] = await Promise.all([
      page.waitForNavigation({ timeout: STEP_TIMEOUT }),
      page.click(button),
    ]);
    assert.equal(answer.request().method(), 'POST');
    assert.equal(answer.url(), site.url(BOARD));
    assert.equal(answer.status(), 403, `${button} was refused`);
    // The hostile origin, or null under the hostile page's Referrer-Policy.
    assert.ok([hostile.base, 'null'].includes(answer.request().headers()['origin']),
      `the browser did not name the board's origin: ${answer.request().headers()['origin']}`);
    if (button === '#send-spam') await shot(page, 'crosspost-refused');
  }
  await page.goto(hostile.url('/prize.html'));
  assert.equal(await page.evaluate(() => quietly()), 'sent');

  assert.deepEqual((await postStatuses()).slice(logged.length), [403, 403, 403],
    'the two forms and the script reached the board and were refused');
  const log = site.server.log();
  assert.equal(log.split(REFUSAL).length - 1, 3, `three refusals in the error log:\n${log}`);
  assert.match(log, /POST \/bbs\/open\.tvx from 127\.0\.0\.1: refused.*Sec-Fetch-Site is cross-site/);
  assert.equal(await boardHtml(), before, 'the board is unchanged');

  // The board's own form and its own delete button still work.
  await page.goto(site.url(BOARD));
  await page.fill('input[name="name"]', 'visitor');
  await page.fill('input[name="subject"]', 'hello');
  await page.fill('textarea[name="body"]', 'a post of my own');
  const { request } = await submit(page, page.locator('input[name="postitem"]'), BOARD);
  assert.equal(request.headers()['origin'], site.base);
  assert.deepEqual(await subjectsOn(page), ['hello', 'precious']);
  await submit(page, postsOn(page).filter({ hasText: 'precious' }).locator('input[value="削除"]'), BOARD);
  assert.deepEqual(await subjectsOn(page), ['hello']);
  assert.deepEqual((await postStatuses()).slice(logged.length), [403, 403, 403, 302, 302]);
  await shot(page, 'crosspost-own-form');
  await page.close();
});
