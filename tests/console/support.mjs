// What the console's checks share: where kivhost and the plugins are (from
// the environment ./dev.sh test-console sets, else the dev preset's build),
// and a kivhost started on a port of its own choosing.
import { spawn } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import path from 'node:path';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const build = process.env.KIV_BUILD_DIR || path.join(root, 'build/dev');

export const kivhost = process.env.KIVHOST || path.join(build, 'host/kivhost');
export const plugins = {
  'kiv-game-client-chat': process.env.KIV_CHAT_PLUGIN || path.join(build, 'src/plugin/libkiv-game-client-chat.so'),
  'kiv-binding-probe': process.env.KIV_PROBE_PLUGIN || path.join(build, 'probe/libkiv-binding-probe.so'),
  'kiv-template': process.env.KIV_TEMPLATE_PLUGIN || path.join(build, 'tests/console/libkiv-template.so'),
};
export const goldenDir = path.join(root, 'tests/console/golden');

// Runs kivhost to its end; resolves with its output, rejects on failure.
export function run(args) {
  return new Promise((resolve, reject) => {
    const child = spawn(kivhost, args, { stdio: ['ignore', 'pipe', 'pipe'] });
    let stdout = '';
    let stderr = '';
    child.stdout.on('data', (d) => { stdout += d; });
    child.stderr.on('data', (d) => { stderr += d; });
    child.on('error', reject);
    child.on('close', (code) => (code === 0 ? resolve(stdout) : reject(new Error(`kivhost ${args.join(' ')}: exit ${code}\n${stderr}`))));
  });
}

// Serves every plugin; resolves once the banner names the console's URL.
export function serve(port = 0) {
  return new Promise((resolve, reject) => {
    const args = ['-q', '--port', String(port)];
    for (const library of Object.values(plugins)) args.push('-p', library);
    const child = spawn(kivhost, args, { stdio: ['ignore', 'pipe', 'inherit'] });
    let output = '';
    const timer = setTimeout(() => {
      child.kill('SIGKILL');
      reject(new Error(`kivhost printed no console URL in 30 s:\n${output}`));
    }, 30000);
    child.on('error', reject);
    child.stdout.on('data', (d) => {
      output += d;
      const found = /console\s+(http:\/\/\S+?)\/\s/.exec(output);
      if (!found) return;
      clearTimeout(timer);
      child.stdout.removeAllListeners('data');
      child.stdout.resume();
      const url = found[1];
      resolve({
        url,
        port: Number(new URL(url).port),
        stop: () => new Promise((done) => {
          if (child.exitCode !== null) return done();
          child.once('exit', done);
          child.kill('SIGTERM');
        }),
      });
    });
  });
}
