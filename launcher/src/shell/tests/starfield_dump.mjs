// Runs the page's starfield motion (launcher/page/starmath.js) through a
// scenario and prints the streaks of chosen frames, so a test can hold the
// window's copy (starfield.cpp) against it.
//
//   node starfield_dump.mjs SCENARIO-JSON
//
// SCENARIO: {seed, width, height, steps: [{dt, t, inputs, pointer?, jump?, input?}],
// record: [step indices]}; prints {frames: [[[tailX, tailY, headX, headY, width,
// brightness, tint], ...], ...], speeds: [...]}.

import { Field, makeRandom, SEGMENT } from '../../../page/starmath.js';

const scenario = JSON.parse(process.argv[2]);
const field = new Field(makeRandom(scenario.seed));
field.resize(scenario.width, scenario.height);
const record = new Set(scenario.record);
const frames = [];
const speeds = [];
scenario.steps.forEach((step, i) => {
  if (step.pointer !== undefined) field.pointer(step.pointer ? step.pointer[0] : null, step.pointer ? step.pointer[1] : null);
  if (step.jump) field.jump = 1;
  if (step.input) field.input(step.t);
  field.step(step.dt, step.t, step.inputs);
  if (!record.has(i)) return;
  const out = [];
  for (let n = 0; n < field.count; n++) out.push(Array.from(field.out.subarray(n * SEGMENT, (n + 1) * SEGMENT)));
  frames.push(out);
  speeds.push(field.speed);
});
process.stdout.write(JSON.stringify({ frames, speeds }));
