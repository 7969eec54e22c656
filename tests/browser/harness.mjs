// What every browser test file needs: a data folder laid out by
// scripts/layout-site, a tvxhost of its own on a free loopback port, Debian's
// chromium driven by playwright-core, and a few steps that several tests take
// (submitting a form, posting over plain HTTP, saving a screenshot).
//
// Environment (CTest sets all of them):
//   CORKWALL_BUILD_DIR   build folder (default: build/release at the top)
//   TVXHOST              the server (default: BUILD/host/tvxhost)
//   CORKWALL_TVX, CORKWARDEN_TVX   the plug-ins (default: inside BUILD)
//   ARTIFACT_DIR         where the screenshots go (default: BUILD)
//
// Each test file opens one site in its `before` and closes it in its
// `after`, so that files never see each other's posts.
import assert from 'node:assert/strict';
import { execFileSync, spawn } from 'node:child_process';
import { copyFileSync, existsSync, mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const CHROMIUM = '/usr/bin/chromium';
export const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
// Bound of every single step: a page load, a click, a server start.
export const STEP_TIMEOUT = 15_000;
// Bound of one test.
export const TEST_TIMEOUT = 60_000;
// The options of a tvxhost that plays another site: its pages may load,
// frame, post to and fetch from anywhere, as a hostile site's would.
const HOSTILE_POLICY = ['--csp', "default-src * 'unsafe-inline'; form-action *"];

const here = dirname(fileURLToPath(import.meta.url));
export const top = resolve(here, '..', '..');
export const buildDir = resolve(process.env.CORKWALL_BUILD_DIR || join(top, 'build', 'release'));
export const tvxhost = process.env.TVXHOST || join(buildDir, 'host', 'tvxhost');
export const artifactDir = process.env.ARTIFACT_DIR || buildDir;

// What a sanitizer prints when it finds a fault in the server.
const SANITIZER_REPORT = /ERROR: (Address|Leak)Sanitizer|runtime error:/;

function freePort(address) {
  return new Promise((ok, fail) => {
    const s = createServer();
    s.once('error', fail);
    s.listen(0, address, () => {
      const { port } = s.address();
      s.close(() => ok(port));
    });
  });
}

async function loadPlaywright() {
  // Missing pieces must fail the run, not skip it.
  if (!existsSync(CHROMIUM)) {
    throw new Error(`${CHROMIUM} not found: run scripts/install-deps (Debian package chromium)`);
  }
  try {
    return (await import('playwright-core')).chromium;
  } catch (e) {
    throw new Error(`playwright-core is not installed in ${here}/node_modules: `
      + `run scripts/install-deps (npm install there) (${e.message})`);
  }
}

// Starts tvxhost on `address`:`port` the way scripts/serve does, with
// `extraArgs` after its own, and waits until it answers.
async function startServer(dataDir, address, port, extraArgs) {
  const args = ['--listen', `${address}:${port}`, '--root', join(dataDir, 'www'),
    '--store', join(dataDir, 'objectstore.db'), '--access-log', join(dataDir, 'access.log'),
    '--auth', `/admin=${join(dataDir, 'admin.htpasswd')}`, ...extraArgs];
  const child = spawn(tvxhost, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let output = '';
  child.stdout.on('data', (d) => { output += d; });
  child.stderr.on('data', (d) => { output += d; });
  let exited = null;
  const gone = new Promise((r) => child.once('exit', (code, signal) => {
    exited = { code, signal };
    r(exited);
  }));
  const s = { child, gone, log: () => output, exited: () => exited };
  const deadline = Date.now() + STEP_TIMEOUT;
  for (;;) {
    if (exited) {
      throw new Error(`tvxhost ${args.join(' ')} exited (${JSON.stringify(exited)}):\n${output}`);
    }
    try {
      await fetch(`http://${address}:${port}/`, { signal: AbortSignal.timeout(1000) });
      return s;
    } catch {
      if (Date.now() > deadline) {
        child.kill('SIGKILL');
        throw new Error(`tvxhost did not answer on port ${port} within ${STEP_TIMEOUT} ms:\n${output}`);
      }
      await new Promise((r) => setTimeout(r, 100));
    }
  }
}

// Stops the server with SIGTERM (which lets it finish what is in flight) and
// returns how it ended. A server that will not stop is killed.
async function stopServer(s) {
  if (!s) return null;
  if (!s.exited()) {
    s.child.kill('SIGTERM');
    const timer = setTimeout(() => s.child.kill('SIGKILL'), 5000);
    await s.gone;
    clearTimeout(timer);
  }
  return s.exited();
}

// A data folder, its server and a browser. `site.url(path)` is an address on
// that server. Options: `address`, the loopback address the server listens
// on (default 127.0.0.1; any of 127.0.0.0/8 is another origin), `serverArgs`,
// more tvxhost options (a test that posts more than a few times from one
// address gives '--post-rate', '0'), and `browser` false for a site that only
// serves pages to another site's browser.
export async function openSite({ address = '127.0.0.1', serverArgs = [], browser = true } = {}) {
  const chromium = await loadPlaywright();
  if (!existsSync(tvxhost)) throw new Error(`${tvxhost} not found: build the project first`);
  const dataDir = mkdtempSync(join(tmpdir(), 'corkwall-browser-'));
  const port = await freePort(address);
  const site = {
    dataDir,
    base: `http://${address}:${port}`,
    server: null,
    browser: null,
    url: (path) => `http://${address}:${port}${path}`,

    layout() {
      execFileSync(join(top, 'scripts', 'layout-site'), [buildDir, dataDir],
        { stdio: ['ignore', 'pipe', 'inherit'], timeout: STEP_TIMEOUT });
    },

    async start() { site.server = await startServer(dataDir, address, port, serverArgs); },

    // Stops the server and fails when it did not stop cleanly or when a
    // sanitizer reported a fault while it ran.
    async stop() {
      const s = site.server;
      site.server = null;
      const end = await stopServer(s);
      if (!s) return;
      assert.ok(!SANITIZER_REPORT.test(s.log()), `tvxhost reported a fault:\n${s.log()}`);
      assert.deepEqual(end, { code: 0, signal: null }, `tvxhost did not stop cleanly:\n${s.log()}`);
    },

    // Installs another copy of the board plug-in at /bbs/NAME, so that a test
    // has a board (and a database, TULVAN_NAME) of its own.
    installBoard(name) {
      copyFileSync(join(dataDir, 'www', 'bbs', 'board.tvx'), join(dataDir, 'www', 'bbs', name));
      return `/bbs/${name}`;
    },

    adminPassword() {
      return readFileSync(join(dataDir, 'admin-password.txt'), 'utf8').trim();
    },

    async newPage(context = site.browser) {
      const page = await context.newPage();
      page.setDefaultTimeout(STEP_TIMEOUT);
      page.setDefaultNavigationTimeout(STEP_TIMEOUT);
      return page;
    },

    async close() {
      try {
        if (site.browser) await site.browser.close();
      } finally {
        try {
          await site.stop();
        } finally {
          rmSync(dataDir, { recursive: true, force: true });
        }
      }
    },
  };
  try {
    site.layout();
    await site.start();
    // playwright starts chromium with a fresh temporary --user-data-dir of its own.
    if (browser) {
      site.browser = await chromium.launch({
        executablePath: CHROMIUM, args: CHROMIUM_ARGS, timeout: STEP_TIMEOUT });
    }
  } catch (e) {
    await site.close().catch(() => {});
    throw e;
  }
  return site;
}

// A site with its browser (127.0.0.1) and a hostile site on 127.0.0.2 (another
// origin, another site) that only serves pages to that browser: { site, hostile }.
export async function openSiteAndHostile() {
  const site = await openSite();
  try {
    const hostile = await openSite({ address: '127.0.0.2', browser: false, serverArgs: HOSTILE_POLICY });
    return { site, hostile };
  } catch (e) {
    await site.close().catch(() => {});
    throw e;
  }
}

// Closes each site given (null ones skipped), all of them even when one fails.
export async function closeSites(...sites) {
  let failure = null;
  for (const s of sites) {
    try {
      if (s) await s.close();
    } catch (e) {
      failure = failure || e;
    }
  }
  if (failure) throw failure;
}

// Clicks a submit button and waits until the redirect after the POST has
// brought the page at `path` back. Returns the POST request and the response
// to the GET that followed it.
export async function submit(page, button, path) {
  const posted = page.waitForRequest((r) => r.method() === 'POST', { timeout: STEP_TIMEOUT });
  const shown = page.waitForResponse(
    (r) => r.request().method() === 'GET' && new URL(r.url()).pathname === path,
    { timeout: STEP_TIMEOUT });
  await button.click();
  const request = await posted;
  const response = await shown;
  await page.waitForLoadState('load');
  return { request, response };
}

// Clicks a link and waits until the page it leads to has loaded.
export async function follow(page, link) {
  const href = await link.getAttribute('href');
  const [response] = await Promise.all([
    page.waitForNavigation({ timeout: STEP_TIMEOUT }),
    link.click(),
  ]);
  assert.ok(response, `following ${href} loaded no page`);
  return response;
}

// Posts the form `fields` (ASCII text) to the board at `path` the way the
// built-in form does, and checks that the board answered with its redirect.
export async function postOverHttp(site, path, fields) {
  const r = await fetch(site.url(path), {
    method: 'POST',
    headers: { 'Content-Type': 'application/x-www-form-urlencoded' },
    body: new URLSearchParams({ ...fields, postitem: 'post' }).toString(),
    redirect: 'manual',
    signal: AbortSignal.timeout(STEP_TIMEOUT),
  });
  const text = await r.text();
  assert.equal(r.status, 302, `the post to ${path} was refused: ${text}`);
  assert.equal(r.headers.get('location'), path);
}

export function basicAuth(user, password) {
  return 'Basic ' + Buffer.from(`${user}:${password}`).toString('base64');
}

// Saves a full-page screenshot as ARTIFACT_DIR/browser-NAME.png.
export async function shot(page, name) {
  await page.screenshot({ path: join(artifactDir, `browser-${name}.png`), fullPage: true });
}

// The posts shown on a board page: each post is one table whose first cell
// holds the post's HTML, with a block quote for its body.
export function postsOn(page) {
  return page.locator('table').filter({ has: page.locator('blockquote') });
}

// The subjects of the posts on a board page, top to bottom.
export async function subjectsOn(page) {
  return (await postsOn(page).locator('td:first-child > b:first-child').allInnerTexts())
    .map((s) => s.trim());
}
