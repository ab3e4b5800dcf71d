// kivhost's OpenAPI document of the chat plugin, the probe and the template:
// each exactly as its committed golden copy, each and all three together
// clean under the linter's recommended rules.
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { createConfig, lintFromString } from '@redocly/openapi-core';
import { goldenDir, plugins, run } from './support.mjs';

const config = await createConfig({
  extends: ['recommended'],
  rules: {
    // A local development server's document has no licence to state.
    'info-license': 'off',
    // Operations and tags carry what the plugins registered; nothing is made up.
    'operation-summary': 'off',
    'tag-description': 'off',
    // Event payloads are used from x-kiv-events, which the linter does not follow.
    'no-unused-components': 'off',
  },
});

async function lint(text, name) {
  const problems = await lintFromString({ source: text, absoluteRef: `${name}.openapi.json`, config });
  return problems.map((p) => `${p.severity} ${p.ruleId}: ${p.message} at ${p.location[0]?.pointer}`);
}

// The first lines that differ, rather than two whole documents.
function firstDifference(actual, expected) {
  const a = actual.split('\n');
  const e = expected.split('\n');
  const at = a.findIndex((line, i) => line !== e[i]);
  const line = at < 0 ? a.length : at;
  return `line ${line + 1}:\n  golden:    ${e.slice(line, line + 3).join('\n             ')}\n` +
    `  generated: ${a.slice(line, line + 3).join('\n             ')}`;
}

for (const [name, library] of Object.entries(plugins)) {
  const generated = run(['-q', '-p', library, 'openapi']);
  generated.catch(() => {});

  test(`${name}: the document is its golden copy`, async () => {
    const golden = await readFile(path.join(goldenDir, `${name}.openapi.json`), 'utf8');
    const text = await generated;
    assert.ok(text === golden,
      `the document differs from tests/console/golden/${name}.openapi.json at ${firstDifference(text, golden)}\n` +
      'If the change is meant, run ./dev.sh test-console --update-golden and commit the copies.');
  });

  test(`${name}: the document passes the linter`, async () => {
    assert.deepEqual(await lint(await generated, name), []);
  });
}

test('all three plugins in one document pass the linter', async () => {
  const args = ['-q'];
  for (const library of Object.values(plugins)) args.push('-p', library);
  const text = await run([...args, 'openapi']);
  const doc = JSON.parse(text);
  assert.deepEqual(doc['x-kiv-plugins'].map((p) => p.name), Object.keys(plugins));
  assert.deepEqual(await lint(text, 'all'), []);
});
