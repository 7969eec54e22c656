// A board whose header carries the delete marker (the laid-out open board)
// gives every post a delete button, and a button removes its own post only.
//
// Run by hand: node --test tests/browser/delete.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { readFileSync } from 'node:fs';
import { join } from 'node:path';
import { TEST_TIMEOUT, openSite, postsOn, shot, subjectsOn, submit } from './harness.mjs';

let site;

before(async () => { site = await openSite(); });
after(async () => { if (site) await site.close(); });

test('the middle post\'s delete button removes that post and only it', { timeout: TEST_TIMEOUT }, async () => {
  const path = '/bbs/open.tvx';
  const header = new TextDecoder('shift_jis').decode(readFileSync(join(site.dataDir, 'www', 'bbs', 'openHEAD.HTML')));
  assert.ok(header.includes('$HIDE_DELETE_FLAG$'), 'the open board\'s header carries the marker');

  const page = await site.newPage();
  await page.goto(site.url(path));
  const subjects = ['一番目の投稿', '二番目の投稿', '三番目の投稿'];
  for (const [i, subject] of subjects.entries()) {
    await page.fill('input[name="name"]', `投稿者${i + 1}`);
    await page.fill('input[name="subject"]', subject);
    await page.fill('textarea[name="body"]', `${subject}の本文です。`);
    await submit(page, page.locator('input[name="postitem"]'), path);
    await new Promise((r) => setTimeout(r, 3));
  }
  const shown = [...subjects].reverse();
  assert.deepEqual(await subjectsOn(page), shown, 'three posts, newest first');
  const buttons = page.locator('input[type="submit"][value="削除"]');
  assert.equal(await buttons.count(), 3, 'one delete button per post');
  for (const subject of subjects) {
    assert.equal(await postsOn(page).filter({ hasText: subject }).locator('input[value="削除"]').count(), 1,
      `${subject} has its own button`);
  }
  await shot(page, 'delete-before');

  const middle = postsOn(page).filter({ hasText: subjects[1] });
  const { request } = await submit(page, middle.locator('input[value="削除"]'), path);
  const sent = new URLSearchParams(request.postData());
  assert.match(sent.get('deleteitemid') || '', /^-?\d+$/, 'the button posts its record number');
  assert.equal(sent.get('postitem'), null, 'a delete button posts no new post');

  assert.deepEqual(await subjectsOn(page), [subjects[2], subjects[0]], 'the middle post is gone, the others stay');
  assert.equal(await buttons.count(), 2);
  await shot(page, 'delete-after');

  // Still gone on a fresh load, and nothing came back.
  await page.reload();
  assert.deepEqual(await subjectsOn(page), [subjects[2], subjects[0]]);
  await page.close();
});
