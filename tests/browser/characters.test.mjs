// A visitor types characters that Shift_JIS lacks (emoji, Korean, simplified
// Chinese, a character beyond the BMP, the wave dash) into each laid-out
// board's own form. The browser sends each as a numeric character reference;
// the page must show the characters themselves, in the post's subject, name
// and body, and the admin page's listing too.
//
// Run by hand: node --test tests/browser/characters.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { TEST_TIMEOUT, openSite, postsOn, shot, submit } from './harness.mjs';

const TYPED = '絵文字😀 한국어 简体字 𠮷野家 〜';

let site;

before(async () => { site = await openSite(); });
after(async () => { if (site) await site.close(); });

for (const [board, path] of [['board', '/bbs/board.tvx'], ['open', '/bbs/open.tvx']]) {
  test(`the ${board} board shows every character as it was typed`, { timeout: TEST_TIMEOUT }, async () => {
    const page = await site.newPage();
    await page.goto(site.url(path));
    const post = { name: '𠮷田😀', subject: `${board} 😀〜`, body: TYPED };
    for (const [field, selector] of [['name', 'input[name="name"]'],
      ['subject', 'input[name="subject"]'], ['body', 'textarea[name="body"]']]) {
      await page.locator(selector).fill(post[field]);
    }
    const { request } = await submit(page, page.locator('input[name="postitem"]'), path);
    // What the browser sent: references for what Shift_JIS lacks.
    assert.match(request.postData(), /body=.*%26%23128512%3B/, request.postData());

    const entry = postsOn(page).filter({ hasText: post.subject });
    assert.equal(await entry.count(), 1, `the post is listed once:\n${await page.content()}`);
    assert.equal((await entry.locator('blockquote').innerText()).trim(), TYPED);
    assert.equal((await entry.locator('td:first-child > b:first-child').innerText()).trim(),
      post.subject);
    assert.ok((await entry.innerText()).includes(post.name), await entry.innerText());
    // No reference is shown as its code.
    assert.doesNotMatch(await page.locator('body').innerText(), /&#\d+;/);
    await shot(page, `characters-${board}`);
    await page.close();
  });
}

test('the admin listing shows the characters too', { timeout: TEST_TIMEOUT }, async () => {
  const context = await site.browser.newContext({
    httpCredentials: { username: 'admin', password: site.adminPassword() } });
  const page = await site.newPage(context);
  await page.goto(site.url('/admin/corkwarden.tvx?cmd=enum&name=TULVAN_board.tvx'));
  const text = await page.locator('body').innerText();
  assert.ok(text.includes(TYPED), text);
  assert.doesNotMatch(text, /&#\d+;/);
  await context.close();
});
