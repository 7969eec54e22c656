// Twenty posts to a page: a board of 21 posts shows the newest 20 with TOP
// and NEXT; NEXT leads to the oldest post alone, TOP back to the first page.
//
// Run by hand: node --test tests/browser/paging.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { TEST_TIMEOUT, follow, openSite, postOverHttp, shot, subjectsOn } from './harness.mjs';

let site;

// 21 posts from one address, more than the flood limit lets through at once.
before(async () => { site = await openSite({ serverArgs: ['--post-rate', '0'] }); });
after(async () => { if (site) await site.close(); });

const subject = (n) => `paging-${String(n).padStart(2, '0')}`;

test('21 posts: 20 on the first page, the oldest behind NEXT, TOP comes back', { timeout: TEST_TIMEOUT }, async () => {
  // A board of its own, so that no other post is counted.
  const path = site.installBoard('paging.tvx');
  for (let n = 1; n <= 21; n++) {
    await postOverHttp(site, path, { name: 'pager', email: '', subject: subject(n), body: `post number ${n}` });
    // The board orders posts by their time of posting, to the millisecond.
    await new Promise((r) => setTimeout(r, 3));
  }
  const newestFirst = Array.from({ length: 21 }, (_, i) => subject(21 - i));

  const page = await site.newPage();
  await page.goto(site.url(path));
  assert.deepEqual(await subjectsOn(page), newestFirst.slice(0, 20), 'first page: the newest 20, newest first');
  const top = page.getByRole('link', { name: 'TOP', exact: true });
  const next = page.getByRole('link', { name: 'NEXT', exact: true });
  assert.equal(await top.count(), 1);
  assert.equal(await next.count(), 1);
  assert.equal(await top.getAttribute('href'), `${path}?`);
  assert.equal(await next.getAttribute('href'), `${path}?row=20`);
  await shot(page, 'paging-first');

  await follow(page, next);
  assert.equal(new URL(page.url()).search, '?row=20');
  assert.deepEqual(await subjectsOn(page), ['paging-01'], 'second page: the oldest post and only it');
  assert.equal(await next.count(), 0, 'no NEXT after the last post');
  assert.equal(await top.count(), 1);
  await shot(page, 'paging-next');

  await follow(page, top);
  assert.equal(new URL(page.url()).pathname, path);
  assert.equal(new URL(page.url()).searchParams.get('row'), null);
  assert.deepEqual(await subjectsOn(page), newestFirst.slice(0, 20), 'TOP shows the first page again');
  assert.equal(await next.count(), 1);
  await shot(page, 'paging-top');

  // The built-in board next door has no posts at all: no posts and no links.
  await page.goto(site.url('/bbs/board.tvx'));
  assert.deepEqual(await subjectsOn(page), []);
  assert.equal(await top.count(), 0);
  await page.close();
});
