#!/usr/bin/env node
// A host application's side of ondrel, with Node's standard library only: start it, read its
// events line by line, ask it to stop, and learn where the recording went.
//
//   node examples/host.js <folder> [path to ondrel] [microphone: builtin, default or a device id]
//
// Exits 0 when ondrel reported "done", 1 otherwise.
'use strict';
const {execFileSync, spawn} = require('node:child_process');
const readline = require('node:readline');

const folder = process.argv[2] ?? '/tmp/call-42';
const ondrel = process.argv[3] ?? 'ondrel';
const microphone = process.argv[4] ?? 'builtin';
const stopAfterSeconds = 3;  // stands in for the user pressing stop

// The microphones a picker would offer: one JSON line per device.
try {
  for (const line of execFileSync(ondrel, ['--list-devices'], {encoding: 'utf8'}).split('\n')) {
    const device = line && JSON.parse(line);
    if (device?.type === 'device' && device.kind === 'input') {
      console.log(`microphone ${device.id} (${device.name})${device.default ? ', the default' : ''}`);
    }
  }
} catch (err) {
  console.error(`no device list: ${err.message}`);
}

const child = spawn(ondrel, ['--out', folder, '--mic', microphone],
                    {stdio: ['pipe', 'pipe', 'inherit']});
let outcome = null;
let stopping = false;

child.on('error', (err) => console.error(`could not start ${ondrel}: ${err.message}`));
// ondrel may have ended before "stop" reaches it; that is reported by its events, not here.
child.stdin.on('error', () => {});

readline.createInterface({input: child.stdout}).on('line', (line) => {
  const event = JSON.parse(line);
  switch (event.type) {
    case 'started':
      console.log('recording');
      break;
    case 'level': {
      const {mic, system, t} = event;
      console.log(`mic ${mic.toFixed(2)}  system ${system.toFixed(2)}  ${t.toFixed(1)} s`);
      if (t >= stopAfterSeconds && !stopping) {
        stopping = true;
        child.stdin.write('stop\n');
      }
      break;
    }
    case 'done':
      outcome = event;
      console.log(`saved ${event.path}, ${event.t.toFixed(2)} s`);
      break;
    case 'error':
      outcome = event;
      console.error(`failed: ${event.message}`);
      break;
  }
});

// When the host is asked to quit, closing ondrel's standard input finishes the recording in
// order; the host exits once ondrel has.
process.on('SIGINT', () => child.stdin.end());

child.on('close', (status) => {
  console.log(`exit status ${status}`);  // 0 after done, 1 after error
  process.exitCode = outcome?.type === 'done' && status === 0 ? 0 : 1;
});
