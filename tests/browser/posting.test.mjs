// A visitor types a post into the built-in form of a board and sees it come
// back: Japanese text intact through a Shift_JIS page and form, typed markup
// shown as text, the date stamp of the server's clock, the mail link.
//
// Run by hand: node --test tests/browser/posting.test.mjs
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { TEST_TIMEOUT, openSite, postsOn, shot, submit } from './harness.mjs';

let site;

before(async () => { site = await openSite(); });
after(async () => { if (site) await site.close(); });

// The fields of a URL-encoded form body whose bytes are Shift_JIS.
function decodeShiftJisForm(body) {
  const sjis = new TextDecoder('shift_jis', { fatal: true });
  const fields = {};
  for (const item of body.split('&')) {
    const eq = item.indexOf('=');
    const bytes = [];
    const value = item.slice(eq + 1).replace(/\+/g, ' ');
    for (let i = 0; i < value.length; i++) {
      if (value[i] === '%') {
        bytes.push(parseInt(value.slice(i + 1, i + 3), 16));
        i += 2;
      } else {
        bytes.push(value.charCodeAt(i));
      }
    }
    fields[item.slice(0, eq)] = sjis.decode(Uint8Array.from(bytes));
  }
  return fields;
}

// The date stamp of a post, "2024年3月9日 7時5分": plain decimals without
// leading zeros, an ASCII space between date and time.
const STAMP = /([1-9]\d{3})年([1-9]\d?)月([1-9]\d?)日 (0|[1-9]\d?)時(0|[1-9]\d?)分/;

function minuteOf(date) {
  const d = new Date(date);
  d.setSeconds(0, 0);
  return d.getTime();
}

// Types the fields into the form on the page (real key presses; characters
// without a key arrive as text input, as from an input method), checks that
// the fields hold what was typed, and submits.
async function typePost(page, path, post) {
  for (const [field, selector] of [['name', 'input[name="name"]'], ['email', 'input[name="email"]'],
    ['subject', 'input[name="subject"]'], ['body', 'textarea[name="body"]']]) {
    const box = page.locator(selector);
    await box.click();
    await box.pressSequentially(post[field]);
    assert.equal(await box.inputValue(), post[field], `the ${field} field holds what was typed`);
  }
  await shot(page, `posting-form-${post.tag}`);
  const clock = { before: Date.now() };
  const sent = await submit(page, page.locator('input[name="postitem"]'), path);
  clock.after = Date.now();
  return { ...sent, clock };
}

const withMail = {
  tag: 'with-mail',
  name: '山田太郎',
  email: 'taro.yamada@example.jp',
  subject: 'お知らせ「春」',
  body: [
    '春はあけぼの & 夏は夜',
    '1+1=2 で 100% です',
    '<b>太字ではない</b> と "二重" と \'一重\' の引用符',
    '表示のソと能力',
  ].join('\n'),
};

const withoutMail = {
  tag: 'without-mail',
  name: '匿名希望',
  email: '',
  subject: '二通目の題名',
  body: 'メールなしの投稿です。\n二行目',
};

test('a typed Japanese post comes back intact, dated, with its mail link', { timeout: TEST_TIMEOUT }, async () => {
  const path = '/bbs/board.tvx';
  const page = await site.newPage();
  const first = await page.goto(site.url(path));
  assert.equal(first.status(), 200);
  assert.match(first.headers()['content-type'], /charset=shift_jis/i);
  assert.equal(await page.evaluate(() => document.characterSet), 'Shift_JIS');

  for (const post of [withMail, withoutMail]) {
    const { request, response, clock } = await typePost(page, path, post);
    assert.equal(response.status(), 200);
    assert.equal(new URL(page.url()).pathname, path, 'the redirect led back to the board');

    // The browser sent the form in the page's encoding.
    assert.match(request.headers()['content-type'], /^application\/x-www-form-urlencoded/);
    const sent = decodeShiftJisForm(request.postData());
    for (const field of ['name', 'email', 'subject']) {
      assert.equal(sent[field], post[field], `${field} as sent`);
    }
    // A textarea submits its line breaks as CR LF.
    assert.equal(sent.body, post.body.replace(/\n/g, '\r\n'), 'body as sent');

    const entries = postsOn(page).filter({ hasText: post.subject });
    assert.equal(await entries.count(), 1, `${post.tag}: the post is listed once`);
    const entry = entries.first();
    const text = await entry.innerText();
    assert.ok(text.replace(/\s+/g, '').includes(`投稿者：${post.name}`), `${post.tag}: name shown:\n${text}`);
    assert.ok(!text.includes('(none)'), `${post.tag}: no field reads (none):\n${text}`);

    const quote = entry.locator('blockquote');
    assert.equal((await quote.innerText()).trim(), post.body, `${post.tag}: body shown as typed`);
    // Typed markup stays text: the body holds nothing but its own line breaks.
    const tags = await quote.locator('*').evaluateAll((all) => all.map((e) => e.tagName));
    assert.deepEqual(tags.filter((t) => t !== 'BR'), ['TT'], `${post.tag}: elements in the body`);
    assert.equal(tags.filter((t) => t === 'BR').length, post.body.split('\n').length - 1);

    // The date stamp: the server's local clock between the click and the page.
    const m = STAMP.exec(text);
    assert.ok(m, `${post.tag}: a date stamp of the form Y年M月D日 H時M分 in:\n${text}`);
    const [year, month, day, hour, minute] = m.slice(1).map(Number);
    const stamped = new Date(year, month - 1, day, hour, minute).getTime();
    const today = (t) => { const d = new Date(t); return [d.getFullYear(), d.getMonth() + 1, d.getDate()]; };
    assert.ok([today(clock.before), today(clock.after)].some((d) => d.join() === [year, month, day].join()),
      `${post.tag}: stamp ${m[0]} is not today (${new Date(clock.before)})`);
    assert.ok(stamped >= minuteOf(clock.before) && stamped <= minuteOf(clock.after),
      `${post.tag}: stamp ${m[0]} outside ${new Date(clock.before)} .. ${new Date(clock.after)}`);

    const mail = entry.locator('a[href^="mailto:"]');
    if (post.email) {
      assert.equal(await mail.count(), 1, `${post.tag}: one mail link`);
      assert.equal(await mail.getAttribute('href'), `mailto:${post.email}`);
      const label = (await mail.innerText()).replace(/\s+/g, '');
      assert.equal(label, `投稿者：${post.name}`, `${post.tag}: the label and name form the link`);
    } else {
      assert.equal(await mail.count(), 0, `${post.tag}: no mail link without an address`);
    }
    await shot(page, `posting-shown-${post.tag}`);
  }

  // Nothing typed became an element anywhere on the page.
  assert.equal(await page.locator('b', { hasText: '太字ではない' }).count(), 0);
  // Newest first.
  const order = await postsOn(page).allInnerTexts();
  assert.ok(order[0].includes(withoutMail.subject) && order[1].includes(withMail.subject),
    `newest post first:\n${order.join('\n---\n')}`);
  await page.close();
});
