// The web console in a real browser (Debian's chromium, headless), against a
// kivhost serving the chat plugin, the probe and the template. Every wait is
// on the page's DOM: the event stream never lets the network go idle.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { mkdir } from 'node:fs/promises';
import path from 'node:path';
import { chromium } from 'playwright-core';
import { serve } from './support.mjs';

const WAIT = { timeout: 15000 };
let host;
let browser;
let page;
const scriptErrors = [];

before(async () => {
  host = await serve();
  browser = await chromium.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-dev-shm-usage'],
  });
  page = await browser.newPage({ viewport: { width: 1440, height: 860 } });
  page.on('pageerror', (e) => scriptErrors.push(e.message));
  // A refused script or style (the host's content policy) shows up here only.
  page.on('console', (m) => { if (m.type() === 'error' && /Refused|Content Security/.test(m.text())) scriptErrors.push(m.text()); });
  await page.goto(`${host.url}/`, { waitUntil: 'domcontentloaded' });
  await page.locator('#stream-state.live').waitFor(WAIT);
});

after(async () => {
  await browser?.close();
  await host?.stop();
});

test("the console lists the chat plugin's six endpoints", async () => {
  const endpoints = page.locator('[data-plugin="kiv-game-client-chat"] .endpoint');
  await endpoints.nth(5).waitFor(WAIT);
  const ids = await endpoints.evaluateAll((nodes) => nodes.map((n) => n.dataset.operation).sort());
  assert.deepEqual(ids, [
    'DeleteKivGameClientChatV1IgnoredSummoners',
    'GetKivGameClientChatV1Buddies',
    'GetKivGameClientChatV1IgnoredSummoners',
    'PostKivGameClientChatV1IgnoredSummoners',
    'PostKivGameClientChatV1InstantMessages',
    'PostKivGameClientChatV1PartyMessages',
  ]);
});

test('an instant message sent through the form is answered, and reaches the chat service', async () => {
  await page.click('[data-operation="PostKivGameClientChatV1InstantMessages"]');
  await page.fill('[data-param="summonerName"]', 'Ann');
  await page.fill('[data-param="message"]', 'hello from the console');
  await page.press('[data-param="message"]', 'Enter');
  await page.locator('#answer-status', { hasText: '204' }).waitFor(WAIT);
  assert.match(await page.textContent('#answer-time'), /^\d+\.\d ms$/);
  assert.equal(await page.textContent('#curl'),
    `curl -i -X POST '${host.url}/kiv-game-client-chat/v1/instant-messages?summonerName=Ann&message=hello%20from%20the%20console'`);
  const peers = await (await fetch(`${host.url}/kivhost/peers`)).json();
  const conversation = peers.conversations.find((c) => c.id === '42');
  assert.equal(conversation.messages.at(-1).body, 'hello from the console');
});

test('a message from a friend, sent in the peers panel, shows up relayed in the event stream', async () => {
  await page.selectOption('#peer-from', '42');
  await page.fill('#peer-message', 'hi from Ann');
  await page.click('#peer-send');
  // Routed under the path's event name and under OnJsonApiEvent: two entries.
  const relayed = page.locator('#event-list .event[data-uri="/kiv-game-client-chat/v1/instant-messages"]',
    { hasText: 'hi from Ann' }).first();
  await relayed.waitFor(WAIT);
  assert.match(await relayed.textContent(), /"fromSummonerName":"Ann"/);
  assert.match(await page.textContent('#peer-result'), /POST \/kiv-chat\/v1\/conversations\/42\/messages → 201/);
  const shot = process.env.KIV_SCREENSHOT;
  if (shot) {
    await mkdir(path.dirname(shot), { recursive: true });
    await page.screenshot({ path: shot });
  }
});

test("a bad argument is answered with the plugin's own error text", async () => {
  await page.click('[data-operation="GetKivBindingProbeV1ItemsById"]');
  await page.fill('[data-param="id"]', 'abc');
  await page.fill('[data-param="tag"]', 'x');
  await page.fill('[data-param="labels"]', '[]');
  await page.click('#send');
  await page.locator('#answer-status', { hasText: '400' }).waitFor(WAIT);
  assert.match(await page.textContent('#answer-body'), /Value abc for 'id' of type int32 is in an incorrect format/);
  assert.deepEqual(scriptErrors, []);
});

test('a lost event stream says so and comes back with the host', async () => {
  const { port } = host;
  await host.stop();
  host = undefined;
  await page.locator('#stream-state.lost').waitFor(WAIT);
  host = await serve(port);
  await page.locator('#stream-state.live').waitFor({ timeout: 30000 });
  await page.locator('#event-list .notice', { hasText: 'reconnected' }).waitFor(WAIT);
});
