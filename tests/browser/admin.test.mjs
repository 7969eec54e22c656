// The board owner's administration page in a browser: the catalogue row of a
// board, its posts as plain text, deleting one post, deleting the whole board.
//
// Run by hand: node --test tests/browser/admin.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import {
  TEST_TIMEOUT, follow, openSite, postOverHttp, shot, subjectsOn, submit,
} from './harness.mjs';

let site;

before(async () => { site = await openSite(); });
after(async () => { if (site) await site.close(); });

const ADMIN = '/admin/corkwarden.tvx';

// The catalogue's cells of the row of database `name`, or null.
async function catalogueRow(page, name) {
  const rows = page.locator('tr').filter({ has: page.locator('td:first-child', { hasText: name }) });
  const n = await rows.count();
  assert.ok(n <= 1, `${name} is listed ${n} times`);
  if (n === 0) return null;
  const row = rows.first();
  const cells = (await row.locator('td').allInnerTexts()).map((t) => t.trim());
  return { row, cells, bgcolor: await row.getAttribute('bgcolor') };
}

test('catalogue, plain listing, one post deleted, the whole board deleted', { timeout: TEST_TIMEOUT }, async () => {
  const path = site.installBoard('warden.tvx');
  const db = 'TULVAN_warden.tvx';
  // A post on another board, which none of the deletions below may touch.
  await postOverHttp(site, '/bbs/board.tvx', { name: 'bystander', email: '', subject: 'stays', body: 'untouched' });

  const posts = [
    { name: '一郎', subject: '最初の投稿', body: '<i>斜体ではない</i> & 本文一' },
    { name: '二郎', subject: '消される投稿', body: '本文二' },
    { name: '三郎', subject: '最後の投稿', body: '本文三' },
  ];
  const visitor = await site.newPage();
  await visitor.goto(site.url(path));
  for (const p of posts) {
    await visitor.fill('input[name="name"]', p.name);
    await visitor.fill('input[name="subject"]', p.subject);
    await visitor.fill('textarea[name="body"]', p.body);
    await submit(visitor, visitor.locator('input[name="postitem"]'), path);
    await new Promise((r) => setTimeout(r, 3));
  }
  const onBoard = posts.map((p) => p.subject).reverse();
  assert.deepEqual(await subjectsOn(visitor), onBoard);

  const context = await site.browser.newContext({
    httpCredentials: { username: 'admin', password: site.adminPassword() } });
  const page = await site.newPage(context);

  // The catalogue: the board's row with its two links.
  const first = await page.goto(site.url(ADMIN));
  assert.equal(first.status(), 200);
  assert.equal(await page.title(), 'TULVAN BBS');
  const row = await catalogueRow(page, db);
  assert.ok(row, `the catalogue lists ${db}:\n${await page.locator('body').innerText()}`);
  assert.equal(row.bgcolor, '#CCCCFF', 'a board row is coloured as one');
  const [nameCell, size, records, oid, sortOrders] = row.cells;
  assert.equal(nameCell, db);
  assert.ok(Number(size) > 0, `size ${size}`);
  assert.equal(records, '3', 'three records');
  assert.match(oid, /^0X[0-9A-F]+$/);
  assert.equal(sortOrders, '1');
  const enumLink = row.row.locator('a', { hasText: db });
  const dropLink = row.row.getByRole('link', { name: 'DELETE DB', exact: true });
  assert.equal(await enumLink.getAttribute('href'), `${ADMIN}?cmd=enum&name=${db}`);
  const drop = /^\/admin\/corkwarden\.tvx\?cmd=deleteDB&db=(-?\d+)$/.exec(await dropLink.getAttribute('href'));
  assert.ok(drop, 'the DELETE DB link names the database by number');
  assert.equal(Number(drop[1]), parseInt(oid.slice(2), 16) | 0, 'the link names the database of its row');
  const other = await catalogueRow(page, 'TULVAN_board.tvx');
  assert.ok(other && other.cells[2] === '1', 'the other board is listed with its one post');
  await shot(page, 'admin-catalogue');

  // The listing: one line per post, newest first, tags stripped.
  await follow(page, enumLink);
  assert.equal(await page.evaluate(() => document.characterSet), 'Shift_JIS');
  const lines = page.locator('tt');
  const deletes = page.getByRole('link', { name: 'delete:', exact: true });
  assert.equal(await lines.count(), 3);
  assert.equal(await deletes.count(), 3);
  const texts = (await lines.allInnerTexts()).map((t) => t.replace(/\s+/g, ' ').trim());
  for (const [i, p] of [...posts].reverse().entries()) {
    for (const part of [p.subject, `投稿者： ${p.name}`, p.body]) {
      assert.ok(texts[i].includes(part), `line ${i} shows "${part}": ${texts[i]}`);
    }
  }
  const inside = await lines.evaluateAll((all) => all.map((e) => e.children.length));
  assert.deepEqual(inside, [0, 0, 0], 'the lines are plain text, without elements');
  const hrefs = await deletes.evaluateAll((all) => all.map((a) => a.getAttribute('href')));
  for (const href of hrefs) {
    assert.match(href, new RegExp(`^/admin/corkwarden\\.tvx\\?cmd=deleteitem&dbname=${db}&deleteitem=-?\\d+$`));
  }
  assert.equal(new Set(hrefs).size, 3, 'each line deletes its own record');
  assert.equal(await page.getByRole('link', { name: 'TOP', exact: true }).getAttribute('href'), `${ADMIN}?`);
  await shot(page, 'admin-enum');

  // "delete:" on the middle line removes that post.
  const middle = texts.findIndex((t) => t.includes(posts[1].subject));
  assert.equal(middle, 1);
  await follow(page, deletes.nth(middle));
  const left = (await lines.allInnerTexts()).join('\n');
  assert.equal(await lines.count(), 2, `two posts left:\n${left}`);
  assert.ok(!left.includes(posts[1].subject), 'the deleted post is not listed');
  assert.ok(left.includes(posts[0].subject) && left.includes(posts[2].subject), 'the others are');
  await shot(page, 'admin-enum-after-delete');

  await visitor.goto(site.url(path));
  assert.deepEqual(await subjectsOn(visitor), [posts[2].subject, posts[0].subject],
    'the board no longer shows the deleted post; the others stay');
  await shot(visitor, 'admin-board-after-delete');

  // Back to the catalogue through TOP, then DELETE DB.
  await follow(page, page.getByRole('link', { name: 'TOP', exact: true }));
  const again = await catalogueRow(page, db);
  assert.ok(again, 'the board is still listed');
  assert.equal(again.cells[2], '2', 'two records left');
  await follow(page, again.row.getByRole('link', { name: 'DELETE DB', exact: true }));
  assert.ok((await page.locator('body').innerText()).includes('Database deleted.'),
    `the deletion is confirmed:\n${await page.locator('body').innerText()}`);
  await shot(page, 'admin-deletedb');

  await page.goto(site.url(ADMIN));
  assert.equal(await catalogueRow(page, db), null, 'the deleted board is no longer listed');
  const bystander = await catalogueRow(page, 'TULVAN_board.tvx');
  assert.ok(bystander && bystander.cells[2] === '1', 'the other board is untouched');
  await shot(page, 'admin-catalogue-after-deletedb');

  await visitor.goto(site.url(path));
  assert.deepEqual(await subjectsOn(visitor), [], 'the deleted board shows no posts');
  await shot(visitor, 'admin-board-after-deletedb');
  await visitor.goto(site.url('/bbs/board.tvx'));
  assert.deepEqual(await subjectsOn(visitor), ['stays']);

  await context.close();
  await visitor.close();
});
